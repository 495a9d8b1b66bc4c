#pragma once

// The print journal of data.mdb, as callers use it: its rows and their writing, the
// writer thread, the history's queries, retention and the plant database's queue.
#include "store/journal_queries.h"
#include "store/journal_retention.h"
#include "store/journal_rows.h"
#include "store/journal_writer.h"
#include "store/plant_queue.h"
