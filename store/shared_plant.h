#pragma once

#include <expected>
#include <string>

#include "base/failure.h"
#include "store/settings_store.h"

namespace tarnwick {

// What a station shares with the plant's other stations when config.txt names a plant
// database; without one, data.mdb alone serves.
class SharedPlant {
public:
    virtual ~SharedPlant() = default;
    // A style's layout code as LookupPrintStyle gives it: the plant's catalogue when it
    // answers in time, else the station's copy in data.mdb.
    virtual std::expected<std::string, Failure> LookupStyle(SettingsDb& db, const std::string& style) = 0;
    // Journal rows were written and wait to be sent on to the plant.
    virtual void RowsWritten() = 0;
};

}  // namespace tarnwick
