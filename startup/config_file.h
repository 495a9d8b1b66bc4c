#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "labels/label_job.h"

namespace tarnwick {

// The values of config.txt, read once at start-up and never written back.
struct ConfigValues {
    std::string StartRow;
    std::string ExtraQty;
    std::string SpareValue;
    BaseValue BaseH;
    std::string BaseV;
    // Optional twelfth and thirteenth fields: label, then the raw printer device
    // path. Empty when the file has only the eleven fields.
    std::string ParallelPort;
    // Optional pair labelled DeviceTimeout, before or after the device pair: how long
    // the raw device may take nothing before a label is given up, in whole seconds.
    std::chrono::seconds DeviceTimeout{10};
    // Optional named pairs for a station that shares the plant database: its libpq
    // connection string (empty: the station keeps everything in data.mdb), the station's
    // name in the plant's history (empty: the host name), and how long a label may wait
    // for the plant database before the station's own copy serves instead.
    std::string PlantDatabase;
    std::string Station;
    std::chrono::seconds PlantTimeout{2};
    // Optional named pairs of the print service: where it listens, and its TLS
    // certificate and key files.
    std::string ServiceListen = "127.0.0.1:8631";
    std::string ServiceCertificate;
    std::string ServiceKey;
    // Optional named pair: how long a browser station's session lasts without a request.
    std::chrono::seconds ServiceSessionIdle{1800};
    // Optional named pair: the folder the service watches for cut sheets to print whole,
    // one folder below it per printer; relative to the plant folder. Empty: none.
    std::string DropFolder;
};

// Parses the bytes of a config.txt: ANSI (Windows-1252), UTF-8, or UTF-8 or UTF-16 with
// a byte-order mark. A control character other than a line end or tab is refused.
// fileName names the file in messages.
std::expected<ConfigValues, Failure> ParseConfigText(std::string_view bytes, const std::string& fileName);

// Reads folder/config.txt.
std::expected<ConfigValues, Failure> ReadConfigFile(const std::filesystem::path& folder);

// The raw device the labels go to when the queue route is off: /dev/lp0 unless
// config.txt names one; a relative path is taken from the application folder.
std::filesystem::path RawDevicePath(const ConfigValues& config, const std::filesystem::path& folder);

}  // namespace tarnwick
