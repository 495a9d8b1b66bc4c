#pragma once

#include <optional>
#include <string>

#include "labels/label_job.h"
#include "labels/print_request.h"

namespace tarnwick {

struct CutRow;

// Who asks for a label; the journal's Source column tells it.
struct Requester {
    enum class Kind { Window, Cli, Service, DropFolder };
    Kind kind = Kind::Cli;
    std::string name;  // a service login's or a dropped file's; empty for the window and the CLI
};

// "window", "cli", "service" or "drop folder", then ":" and the name when there is one.
std::string SourceOf(const Requester& requester);

// One label asked for, as any front end asks: typed, or a cut of a sheet.
struct LabelRequest {
    // Typed: the boxes (the bar code is composed from them). A cut: the cut's values, its
    // bar code included.
    LabelFields fields;
    std::string madeIn, rn;
    struct Cut {
        std::string sheet;
        std::optional<int> row;
    };
    std::optional<Cut> cut;
    bool newFormat = true;
    bool brand = false;
    bool printHeaders = false;
    // As typed (the fields' Qty is not read); the stream carries the number it reads.
    std::string quantity;
    // In New Format a cut's blank Length Desc and Made In are taken from these boxes.
    std::string typedLengthDesc, typedMadeIn;
    // A printer of data.mdb's Printers; empty: the station's own.
    std::string printer;
    // The label goes only once its row is written: a request that must print exactly once
    // (a service request with an Idempotency-Key) is refused rather than printed unrecorded.
    bool requireRow = false;
    Requester requester;
};

// The main window's boxes as a request: typed when no cut sheet is named, else the cut
// the window holds in `job`, with the quantity and New Format's boxes as they stand.
LabelRequest RequestFromControls(const PrintControls& controls, const LabelJob& job, std::optional<int> cutRow,
                                 Requester requester);

// How a whole cut is asked for by a front end that has no boxes: tarnwick-cli print's
// options, the drop folder's defaults. Each is as the window starts.
struct CutOptions {
    std::optional<std::string> quantity;  // none: the cut's own, its Qty plus ExtraQty
    bool newFormat = true;
    bool brand = false;
    bool printHeaders = false;
    std::string printer;  // empty: the station's own
};

// The cut as the window shows it once imported or moved to, its boxes filled from the row,
// from the sheet named `sheet`.
LabelRequest RequestForCut(const CutRow& cut, std::string sheet, CutOptions options, Requester requester);

// A request as the window's boxes and record would hold it, for the print request of
// labels/, which applies the mode rules.
PrintControls ControlsOf(const LabelRequest& request);
LabelJob JobOf(const LabelRequest& request);

}  // namespace tarnwick
