#include "service/api.h"

#include <charconv>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/ascii_case.h"
#include "base/digest.h"
#include "base/printable_text.h"
#include "labels/reprint_stream.h"
#include "labels/fabric_lists.h"
#include "printer/printer_state.h"
#include "printjob/label_request.h"
#include "printjob/print_and_record.h"
#include "printjob/printers.h"
#include "service/api_error.h"
#include "service/cut_sheets.h"
#include "service/label_preview.h"
#include "service/web_assets.h"
#include "store/journal_queries.h"
#include "store/settings_store.h"
#include "store/request_keys.h"
#include "store/station_name.h"

namespace tarnwick::service {
namespace {

using nlohmann::json;

// What one request carries through its handler.
struct Call {
    ServiceCore& core;
    const HttpRequest& request;
    const TokenInfo& token;
    std::vector<std::string> params;  // the path's {parts}, in order
    std::string session;  // the session's id when the browser station's cookie signed the request in
};

using Answer = std::expected<HttpResponse, ApiError>;

HttpResponse JsonResponse(int status, const json& body) {
    // Text that is no UTF-8 (a cut sheet's stray byte) goes as its replacement, never as a
    // failure of the whole answer.
    return {status, "application/json", body.dump(-1, ' ', false, json::error_handler_t::replace), {}};
}

HttpResponse ErrorResponse(const ApiError& error) {
    HttpResponse response = JsonResponse(error.status, error.Json());
    if (error.status == 401) response.headers.emplace_back("WWW-Authenticate", "Bearer");
    return response;
}

std::vector<std::string> Segments(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > at) parts.emplace_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::expected<json, ApiError> JsonBody(const HttpRequest& request) {
    const std::string& type = request.Header("content-type");
    if (type.substr(0, type.find(';')) != "application/json")
        return std::unexpected(ApiError{415, "unsupported_media_type",
                                        "The request's body must be JSON (Content-Type: application/json).",
                                        "Content-Type"});
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) return std::unexpected(Malformed("The request's body is not valid JSON."));
    if (!body.is_object()) return std::unexpected(Malformed("The request's body must be a JSON object."));
    return body;
}

// The fields of a body, each checked against what it may be; an unknown one is refused by
// name, so a misspelt field is never silently left out of a label.
class Fields {
public:
    Fields(const json& body, std::vector<std::string_view> known) : body_(body) {
        for (const auto& [name, value] : body.items())
            if (std::find(known.begin(), known.end(), name) == known.end() && !unknown_) unknown_ = name;
    }
    std::optional<ApiError> Unknown() const {
        if (!unknown_) return std::nullopt;
        return Malformed("The request has a field this call does not take: \"" + *unknown_ + "\".", *unknown_);
    }
    std::expected<std::string, ApiError> Text(const std::string& name) const {
        const auto found = body_.find(name);
        if (found == body_.end() || found->is_null()) return std::string();
        if (found->is_string()) return found->get<std::string>();
        return std::unexpected(Malformed("The field \"" + name + "\" must be a text.", name));
    }
    // A quantity may come as a number or as the text the Qty box would hold.
    std::expected<std::string, ApiError> TextOrNumber(const std::string& name) const {
        const auto found = body_.find(name);
        if (found != body_.end() && found->is_number_integer()) return std::to_string(found->get<std::int64_t>());
        if (found != body_.end() && found->is_number())
            return std::unexpected(Malformed("The field \"" + name + "\" must be a whole number.", name));
        return Text(name);
    }
    std::expected<bool, ApiError> Flag(const std::string& name, bool fallback) const {
        const auto found = body_.find(name);
        if (found == body_.end() || found->is_null()) return fallback;
        if (found->is_boolean()) return found->get<bool>();
        return std::unexpected(Malformed("The field \"" + name + "\" must be true or false.", name));
    }
    const json* Find(const std::string& name) const {
        const auto found = body_.find(name);
        return found == body_.end() ? nullptr : &*found;
    }

private:
    const json& body_;
    std::optional<std::string> unknown_;
};

// A typed label's fields, in the main window's order, and where each goes.
struct TypedField {
    const char* name;
    std::string LabelRequest::*text;  // or, with fieldsText set, a field of LabelFields
    std::string LabelFields::*fieldsText;
};
constexpr TypedField kTypedFields[] = {
    {"wip", nullptr, &LabelFields::WIP},       {"style", nullptr, &LabelFields::Style},
    {"color", nullptr, &LabelFields::Color},   {"waist", nullptr, &LabelFields::Waist},
    {"length", nullptr, &LabelFields::Length}, {"lengthDesc", nullptr, &LabelFields::LengthDesc},
    {"text1", nullptr, &LabelFields::Text1},   {"text2", nullptr, &LabelFields::Text2},
    {"text3", nullptr, &LabelFields::Text3},   {"madeIn", &LabelRequest::madeIn, nullptr},
    {"rn", &LabelRequest::rn, nullptr},        {"printer", &LabelRequest::printer, nullptr},
};

std::expected<LabelRequest, ApiError> TypedRequest(const json& body, const TokenInfo& token) {
    std::vector<std::string_view> known{"quantity", "newFormat", "brand", "headers"};
    for (const TypedField& field : kTypedFields) known.push_back(field.name);
    const Fields fields(body, known);
    if (auto unknown = fields.Unknown()) return std::unexpected(*unknown);
    LabelRequest request;
    for (const TypedField& field : kTypedFields) {
        auto value = fields.Text(field.name);
        if (!value) return std::unexpected(value.error());
        if (field.text != nullptr) request.*field.text = std::move(*value);
        else request.fields.*field.fieldsText = std::move(*value);
    }
    auto quantity = fields.TextOrNumber("quantity");
    auto newFormat = fields.Flag("newFormat", true), brand = fields.Flag("brand", false),
         headers = fields.Flag("headers", false);
    for (const auto* failed : {quantity ? nullptr : &quantity.error(), newFormat ? nullptr : &newFormat.error(),
                               brand ? nullptr : &brand.error(), headers ? nullptr : &headers.error()})
        if (failed != nullptr) return std::unexpected(*failed);
    request.quantity = *quantity;
    request.newFormat = *newFormat;
    request.brand = *brand;
    request.printHeaders = *headers;
    request.requester = {Requester::Kind::Service, token.name};
    return request;
}

std::optional<ApiError> MayUsePrinter(const TokenInfo& token, const std::string& printer) {
    const std::string name = printer.empty() ? "default" : printer;
    if (token.MayPrintOn(name)) return std::nullopt;
    return ApiError{403, "forbidden", "The token \"" + token.name + "\" may not print on the printer \"" + name + "\".",
                    "printer"};
}

// The box a refusal of the label is about, for the answer's field.
std::string FieldOf(const std::string& message) {
    const struct {
        std::string_view says;
        const char* field;
    } kFields[] = {
        {"manually enter the data", "wip"}, {"style does not exist", "style"}, {"Qty box", "quantity"},
        {"no printer named", "printer"},    {"printer named", "printer"},
    };
    for (const auto& f : kFields)
        if (message.find(f.says) != std::string::npos) return f.field;
    return "";
}

json JobJson(const JournalEntry& job) {
    const ShownOutcome shown = ShowOutcome(job);
    json out = {{"id", job.id},
                {"time", job.time},
                {"station", job.station},
                {"source", job.source},
                {"layout", job.layout},
                {"wip", job.wip},
                {"style", job.style},
                {"quantity", job.quantity},
                {"route", job.route},
                {"printer", job.printer},
                {"outcome", job.outcome},
                {"shownOutcome", shown.outcome},
                {"message", shown.message},
                {"bytes", job.byteCount}};
    out["cutSheet"] = job.cutSheet.empty() ? json(nullptr) : json(job.cutSheet);
    out["cutRow"] = job.cutRow ? json(*job.cutRow) : json(nullptr);
    out["reprintOf"] = job.reprintOf ? json(*job.reprintOf) : json(nullptr);
    if (!job.reprintOfStation.empty()) out["reprintOfStation"] = job.reprintOfStation;
    if (!job.stationId.empty()) out["stationId"] = job.stationId;
    return out;
}

// The journal writer, seen by one request: its row's key goes in with it, and what was
// written and answered is kept for the reply.
class ObservedRecorder final : public JobRecorder {
public:
    ObservedRecorder(JobRecorder& inner, std::string key, std::string digest)
        : inner_(inner), key_(std::move(key)), digest_(std::move(digest)) {}
    std::expected<std::int64_t, Failure> Begin(JournalEntry entry) override {
        entry.requestKey = key_;
        entry.requestDigest = digest_;
        if (entry.time.empty()) entry.time = JournalTime(std::chrono::system_clock::now());
        // As the journal will name it, so the answer says what the row says.
        entry.station = StationName(entry.station);
        if (entry.stream) entry.byteCount = static_cast<std::int64_t>(entry.stream->size());
        auto id = inner_.Begin(entry);
        entry.stream.reset();
        entry.id = id ? *id : 0;
        written_ = std::move(entry);
        return id;
    }
    void Complete(std::int64_t id, std::string outcome, std::string message) override {
        if (written_ && written_->id == id) {
            written_->outcome = outcome;
            written_->message = message;
        }
        inner_.Complete(id, std::move(outcome), std::move(message));
    }
    const std::optional<JournalEntry>& written() const { return written_; }

private:
    JobRecorder& inner_;
    std::string key_, digest_;
    std::optional<JournalEntry> written_;
};

// What an Idempotency-Key asks of a request that printed.
struct Idempotency {
    std::string key, digest;
};

std::expected<std::optional<Idempotency>, ApiError> KeyOf(const Call& call) {
    const std::string& key = call.request.Header("idempotency-key");
    if (key.empty()) return std::nullopt;
    if (key.size() > 255 || PrintableText(key) != key)
        return std::unexpected(
            Malformed("The Idempotency-Key must be printable text of at most 255 characters.", "Idempotency-Key"));
    // Keys are the caller's: two callers' keys never meet.
    return Idempotency{call.token.name + "\n" + key,
                       Sha256Hex(call.request.method + " " + call.request.path + "\n" + call.request.body)};
}

// A job's answer from its row, the same the first time and when a retry replays it: 201
// when the printer took it, 422 refused (with the box it names), 503 when the printer
// failed or never confirmed, 409 while it may have printed; the job, the printer's name
// and the layout with each.
HttpResponse JobAnswer(const JournalEntry& job, const std::string& printer) {
    const std::string& message = job.message;
    const json extra = {{"job", JobJson(job)}, {"printer", printer}, {"layout", job.layout}};
    if (job.outcome == "sent") {
        json body = extra;
        if (!message.empty()) body["note"] = message;
        return JsonResponse(201, body);
    }
    const ApiError error = job.outcome == "refused"  ? ApiError{422, "refused", message, FieldOf(message)}
                           : job.outcome == "failed" ? ApiError{503, "printer_failed", message, "printer"}
                           : job.outcome == "unconfirmed"
                               ? ApiError{503, "unconfirmed", message, "printer"}
                               : ApiError{409, "may_have_printed",
                                          "The label of job " + std::to_string(job.id) +
                                              " may have printed: it was being sent when it was last heard "
                                              "of, so it is not sent again. Check the printer, then reprint "
                                              "the job if it did not print.",
                                          ""};
    json body = error.Json();
    body.update(extra);
    return JsonResponse(error.status, body);
}

// The name a job's printer has now: the printers whose route and target it recorded.
std::string PrinterNamed(ServiceCore& core, const JournalEntry& job) {
    if (const auto printers = ListPrinters(core.plant()))
        for (const PrinterEntry& printer : *printers)
            if ((printer.queue ? "queue" : "device") == job.route && printer.target == job.printer) return printer.name;
    return job.printer;
}

// The first answer of a key already used, or nothing when it is new.
std::expected<std::optional<HttpResponse>, ApiError> Replay(ServiceCore& core, const Idempotency& key) {
    const auto kept = FindRequestKey(core.plant().databaseFile(), key.key);
    if (!kept) return std::unexpected(ApiError{503, "journal", kept.error().text, ""});
    if (!*kept) return std::nullopt;
    if ((*kept)->digest != key.digest)
        return std::unexpected(ApiError{422, "key_reused",
                                        "This Idempotency-Key was used for another request; a new request needs a "
                                        "new key.",
                                        "Idempotency-Key"});
    const auto job = ReadJournalJob(core.plant().databaseFile(), (*kept)->job);
    if (!job) return std::unexpected(ApiError{503, "journal", job.error().text, ""});
    JournalEntry shown = *job;
    shown.stream.reset();
    HttpResponse response = JobAnswer(shown, PrinterNamed(core, shown));
    response.headers.emplace_back("Idempotent-Replayed", "true");
    return response;
}

// Runs `print` once for the key: a retry gets the first answer, a concurrent one 409.
Answer ExactlyOnce(const Call& call, const std::function<Answer(const std::optional<Idempotency>&)>& print) {
    auto key = KeyOf(call);
    if (!key) return std::unexpected(key.error());
    if (!*key) return print(std::nullopt);
    if (!call.core.HoldKey((*key)->key))
        return std::unexpected(ApiError{409, "in_progress",
                                        "A request with this Idempotency-Key is being answered now; wait for its "
                                        "answer.",
                                        "Idempotency-Key"});
    struct Release {
        ServiceCore& core;
        std::string key;
        ~Release() { core.ReleaseKey(key); }
    } release{call.core, (*key)->key};
    auto replayed = Replay(call.core, **key);
    if (!replayed) return std::unexpected(replayed.error());
    if (*replayed) return std::move(**replayed);
    return print(*key);
}

// A job counted for /metrics and logged, without its bytes.
void Counted(ServiceCore& core, const std::optional<JournalEntry>& job, const std::string& printerName) {
    const std::string printer = printerName.empty() ? "default" : printerName;
    if (!job) return;
    core.metrics().Job(job->outcome);
    // A printer that fails is an outage the browser stations hear of, and so is its end.
    if (job->outcome == "failed" || job->outcome == "unconfirmed")
        core.events().Notice("printer:" + printer, Failure{"The printer " + printer + " did not take job " +
                                                           std::to_string(job->id) + ": " + job->message});
    else if (job->outcome == "sent")
        core.events().Notice("printer:" + printer, Failure{"The printer " + printer + " takes labels again.",
                                                           "Tarnwick", MessageIcon::Information, false, true});
    LogLine("job " + std::to_string(job->id) + " " + job->source + " printer " + job->printer + " layout " +
            job->layout + ": " + job->outcome);
}

// A label's answer: 201 with its job when the printer took it, else the refusal or the
// printer's failure, with the job when one was written.
HttpResponse LabelAnswer(ServiceCore& core, const std::expected<LabelResult, Failure>& printed,
                         const ObservedRecorder& recorder, const std::string& printer) {
    const auto& written = recorder.written();
    Counted(core, written, printer);
    const std::string name = printed ? printed->printer : printer.empty() ? "default" : printer;
    if (written && written->id != 0) return JobAnswer(*written, name);
    if (printed) {
        // The label went, but the journal could not take its row.
        json body = {{"job", nullptr}, {"printer", name}, {"layout", printed->layout}};
        if (!printed->recorded) body["journal"] = printed->recorded.error().text;
        return JsonResponse(201, body);
    }
    const std::string& text = printed.error().text;
    const ApiError error = text.starts_with("The label was not sent: it must not print without its row")
                               ? ApiError{503, "journal", text, ""}
                               : ApiError{422, "refused", text, FieldOf(text)};
    return JsonResponse(error.status, error.Json());
}

Answer PostLabels(const Call& call) {
    auto body = JsonBody(call.request);
    if (!body) return std::unexpected(body.error());
    auto request = TypedRequest(*body, call.token);
    if (!request) return std::unexpected(request.error());
    if (auto refused = MayUsePrinter(call.token, request->printer)) return std::unexpected(*refused);
    return ExactlyOnce(call, [&](const std::optional<Idempotency>& key) -> Answer {
        ObservedRecorder recorder(call.core.journal(), key ? key->key : "", key ? key->digest : "");
        request->requireRow = key.has_value();
        const auto printed = PrintAndRecord(call.core.plant(), *request, recorder);
        return LabelAnswer(call.core, printed, recorder, request->printer);
    });
}

// A stream drawn as the printer prints it, and what it asks for.
Answer PictureAnswer(std::string_view stream, const std::string& layout) {
    const auto picture = DrawLabel(stream);
    if (!picture) return std::unexpected(ApiError{422, "refused", picture.error().text, ""});
    HttpResponse response{200, "image/png", picture->png, {}};
    response.headers.emplace_back("X-Label-Layout", layout);
    response.headers.emplace_back("X-Label-Dots",
                                  std::to_string(picture->width) + "x" + std::to_string(picture->height));
    response.headers.emplace_back("X-Label-Quantity", picture->quantity);
    return response;
}

Answer PostPreviews(const Call& call) {
    auto body = JsonBody(call.request);
    if (!body) return std::unexpected(body.error());
    auto request = TypedRequest(*body, call.token);
    if (!request) return std::unexpected(request.error());
    std::string stream;
    FunctionOutput keep([&stream](std::string_view bytes) -> SendResult {
        stream = bytes;
        return SendReceipt{};
    });
    const auto composed = PreviewRequest(call.core.plant(), *request, keep);
    if (!composed) {
        ApiError error = Refused(composed.error());
        error.field = FieldOf(error.message);
        return std::unexpected(error);
    }
    return PictureAnswer(stream, std::string(composed->layout));
}

std::expected<std::int64_t, ApiError> JobId(const std::string& text) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id < 1)
        return std::unexpected(NotFound("There is no job \"" + text + "\": a job's id is a whole number."));
    return id;
}

// One job, this station's or, with ?station=NAME, another's from the plant's history.
std::expected<JournalEntry, ApiError> FindJob(const Call& call, std::int64_t id) {
    const auto station = call.request.query.find("station");
    PlantStation* plant = call.core.station();
    if (station == call.request.query.end() || station->second.empty() ||
        (plant != nullptr && AsciiLower(station->second) == AsciiLower(plant->station()))) {
        auto job = ReadJournalJob(call.core.plant().databaseFile(), id);
        if (!job) return std::unexpected(NotFound(job.error().text));
        return std::move(*job);
    }
    if (plant == nullptr)
        return std::unexpected(
            NotFound("This station keeps no plant history: config.txt names no plant database, so "
                     "only its own jobs (without ?station) are found."));
    auto jobs = plant->Job(station->second, id);
    if (!jobs) return std::unexpected(ApiError{503, "plant", jobs.error().text, ""});
    if (jobs->empty())
        return std::unexpected(NotFound("There is no job " + std::to_string(id) + " of station " + station->second +
                                        " in the plant's history."));
    if (jobs->size() > 1)
        return std::unexpected(ApiError{409, "ambiguous",
                                        "Two stations named " + station->second + " have a job " + std::to_string(id) +
                                            "; give each station a name of its own (Station,NAME in config.txt).",
                                        "station"});
    return std::move(jobs->front());
}

Answer GetJob(const Call& call) {
    auto id = JobId(call.params.at(0));
    if (!id) return std::unexpected(id.error());
    auto job = FindJob(call, *id);
    if (!job) return std::unexpected(job.error());
    job->stream.reset();
    return JsonResponse(200, {{"job", JobJson(*job)}});
}

Answer GetJobPreview(const Call& call) {
    auto id = JobId(call.params.at(0));
    if (!id) return std::unexpected(id.error());
    auto job = FindJob(call, *id);
    if (!job) return std::unexpected(job.error());
    if (!job->stream)
        return std::unexpected(ApiError{
            409, "no_stream",
            "Job " + std::to_string(*id) + " was refused before a label was composed, so there is nothing to draw.",
            ""});
    return PictureAnswer(*job->stream, job->layout);
}

Answer GetJobs(const Call& call) {
    const auto& q = call.request.query;
    const auto value = [&q](const char* name) {
        const auto found = q.find(name);
        return found == q.end() ? std::string() : found->second;
    };
    for (const auto& [name, v] : q)
        if (name != "wip" && name != "style" && name != "station" && name != "since" && name != "limit" &&
            name != "prefix" && name != "scope")
            return std::unexpected(
                Malformed("The query has a parameter this call does not take: \"" + name + "\".", name));
    JournalQuery query;
    query.wip = value("wip");
    query.style = value("style");
    query.station = value("station");
    query.since = value("since");
    query.prefix = value("prefix") == "true" || value("prefix") == "1";
    query.limit = 100;
    if (const std::string limit = value("limit"); !limit.empty()) {
        const auto [end, error] = std::from_chars(limit.data(), limit.data() + limit.size(), query.limit);
        if (error != std::errc() || end != limit.data() + limit.size() || query.limit < 1 || query.limit > 10000)
            return std::unexpected(Malformed("limit must be a whole number from 1 to 10000.", "limit"));
    }
    const std::string scope = value("scope").empty() ? "plant" : value("scope");
    if (scope != "plant" && scope != "station")
        return std::unexpected(Malformed("scope is \"plant\" or \"station\".", "scope"));
    PlantStation* plant = call.core.station();
    json body = json::object();
    std::vector<JournalEntry> jobs;
    if (scope == "plant" && plant != nullptr) {
        auto listed = plant->History(query);
        if (listed) {
            jobs = std::move(*listed);
            if (auto added = plant->AddWaitingJobs(query, jobs); added && *added > 0) body["waiting"] = *added;
            body["scope"] = "plant";
        } else {
            // As the window's History: the station's own jobs, and why.
            body["notice"] = listed.error().text;
        }
    }
    if (!body.contains("scope")) {
        query.station.clear();
        auto listed = ReadJournal(call.core.plant().databaseFile(), query);
        if (!listed) return std::unexpected(ApiError{503, "journal", listed.error().text, ""});
        jobs = std::move(*listed);
        body["scope"] = "station";
    }
    json list = json::array();
    for (const JournalEntry& job : jobs) list.push_back(JobJson(job));
    body["jobs"] = std::move(list);
    return JsonResponse(200, body);
}

Answer PostReprint(const Call& call) {
    auto id = JobId(call.params.at(0));
    if (!id) return std::unexpected(id.error());
    std::optional<int> quantity;
    std::string printer;
    bool asked = false;  // a printer named by the caller, not the job's own
    if (!call.request.body.empty()) {
        auto body = JsonBody(call.request);
        if (!body) return std::unexpected(body.error());
        const Fields fields(*body, {"quantity", "printer"});
        if (auto unknown = fields.Unknown()) return std::unexpected(*unknown);
        auto text = fields.TextOrNumber("quantity");
        if (!text) return std::unexpected(text.error());
        if (!text->empty()) {
            const auto parsed = ReprintQuantity(*text);
            if (!parsed) return std::unexpected(ApiError{422, "refused", parsed.error().text, "quantity"});
            quantity = *parsed;
        }
        auto named = fields.Text("printer");
        if (!named) return std::unexpected(named.error());
        printer = *named;
        asked = !printer.empty();
    }
    auto original = FindJob(call, *id);
    if (!original) return std::unexpected(original.error());
    // Unless another is asked for, the printer the job went to, when it is still a printer here.
    if (printer.empty()) printer = PrinterNamed(call.core, *original);
    auto resolved = ResolvePrinter(call.core.plant(), printer);
    if (!resolved && !asked) resolved = ResolvePrinter(call.core.plant(), "default");
    if (!resolved) return std::unexpected(ApiError{422, "refused", resolved.error().text, "printer"});
    if (auto refused = MayUsePrinter(call.token, resolved->name)) return std::unexpected(*refused);
    const auto station = call.request.query.find("station");
    const std::string ofStation = station == call.request.query.end() || call.core.station() == nullptr ||
                                          AsciiLower(station->second) == AsciiLower(call.core.station()->station())
                                      ? ""
                                      : station->second;
    return ExactlyOnce(call, [&](const std::optional<Idempotency>& key) -> Answer {
        ObservedRecorder recorder(call.core.journal(), key ? key->key : "", key ? key->digest : "");
        const OutputRoute route = resolved->route;
        RoutedOutput routed([&route] { return route; });
        // A keyed reprint goes only once its row is in.
        FunctionOutput gated([&](std::string_view stream) -> SendResult {
            if (key && (!recorder.written() || recorder.written()->id == 0))
                return std::unexpected(
                    Failure{"The label was not sent: it must not print without its row, and the "
                            "row could not be written."});
            return routed.SendToPrinter(stream);
        });
        auto reprint = ReprintJob(call.core.plant(), recorder, *original, ofStation, quantity, gated, route);
        if (!reprint) return std::unexpected(ApiError{422, "refused", reprint.error().text, ""});
        const auto& written = recorder.written();
        Counted(call.core, written, resolved->name);
        if (!written || written->id == 0) {
            if (!reprint->sent) return std::unexpected(ApiError{503, "journal", reprint->sent.error().text, ""});
            return JsonResponse(201,
                                {{"job", nullptr}, {"printer", resolved->name}, {"original", reprint->original.id}});
        }
        HttpResponse answer = JobAnswer(*written, resolved->name);
        json body = json::parse(answer.body);
        body["quantity"] = reprint->quantity;
        body["original"] = reprint->original.id;
        answer.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
        return answer;
    });
}

Answer GetPrinters(const Call& call) {
    const auto printers = ListPrinters(call.core.plant());
    if (!printers) return std::unexpected(ApiError{503, "journal", printers.error().text, ""});
    json list = json::array();
    for (const PrinterEntry& printer : *printers) {
        if (!call.token.MayPrintOn(printer.name)) continue;
        const auto resolved = ResolvePrinter(call.core.plant(), printer.name);
        const PrinterState state = resolved ? StateOf(resolved->route) : PrinterState{false, "unknown", ""};
        json entry = {{"name", printer.name},
                      {"route", printer.queue ? "queue" : "device"},
                      {"target", printer.target},
                      {"ready", state.ready},
                      {"state", state.state}};
        entry["reason"] = state.reason.empty() ? json(nullptr) : json(state.reason);
        list.push_back(std::move(entry));
    }
    return JsonResponse(200, {{"printers", list}});
}

Answer GetStyles(const Call& call) {
    const auto rows = ListPrintStyles(call.core.plant().databaseFile());
    if (!rows) return std::unexpected(ApiError{503, "journal", rows.error().text, ""});
    json list = json::array();
    for (const StyleRow& row : *rows)
        list.push_back(json{{"style", row.style}, {"code", row.code ? json(*row.code) : json(nullptr)}});
    return JsonResponse(200, {{"styles", list}});
}

std::optional<ApiError> AdminOnly(const Call& call) {
    if (call.token.role == TokenRole::Admin) return std::nullopt;
    return ApiError{403, "forbidden",
                    "Changing styles needs an admin token; \"" + call.token.name + "\" is an operator's.", ""};
}

std::optional<ApiError> StationStyles(const Call& call) {
    if (call.core.station() == nullptr) return std::nullopt;
    return ApiError{409, "plant_styles",
                    "The styles of this station come from the plant database; change them there (tarnwick-cli styles "
                    "set on an admin login), and every station takes them.",
                    ""};
}

Answer PutStyle(const Call& call) {
    if (auto refused = AdminOnly(call)) return std::unexpected(*refused);
    if (auto refused = StationStyles(call)) return std::unexpected(*refused);
    auto body = JsonBody(call.request);
    if (!body) return std::unexpected(body.error());
    const Fields fields(*body, {"code"});
    if (auto unknown = fields.Unknown()) return std::unexpected(*unknown);
    auto code = fields.Text("code");
    if (!code) return std::unexpected(code.error());
    if (!IsKnownStyleCode(*code))
        return std::unexpected(
            ApiError{422, "refused", "\"" + *code + "\" is not a layout code a style may have.", "code"});
    const auto added = SetPrintStyle(call.core.plant().databaseFile(), call.params.at(0), *code);
    if (!added) return std::unexpected(ApiError{503, "journal", added.error().text, ""});
    return JsonResponse(*added ? 201 : 200, {{"style", call.params.at(0)}, {"code", *code}});
}

Answer DeleteStyle(const Call& call) {
    if (auto refused = AdminOnly(call)) return std::unexpected(*refused);
    if (auto refused = StationStyles(call)) return std::unexpected(*refused);
    const auto removed = RemovePrintStyle(call.core.plant().databaseFile(), call.params.at(0));
    if (!removed) return std::unexpected(ApiError{503, "journal", removed.error().text, ""});
    if (!*removed) return std::unexpected(NotFound("There is no style \"" + call.params.at(0) + "\" in data.mdb."));
    return HttpResponse{204, "application/json", "", {}};
}

Answer PostCutSheet(const Call& call) {
    auto uploaded = StoreCutSheet(call.core, call.request);
    if (!uploaded) return std::unexpected(uploaded.error());
    return JsonResponse(201, *uploaded);
}

Answer PostCutSheetLabels(const Call& call) {
    auto body = JsonBody(call.request);
    if (!body) return std::unexpected(body.error());
    // With a key, each cut is a job of its own key: a retried sheet prints only the cuts
    // that have not printed, and answers the others as they were.
    auto key = KeyOf(call);
    if (!key) return std::unexpected(key.error());
    if (*key && !call.core.HoldKey((*key)->key))
        return std::unexpected(ApiError{409, "in_progress",
                                        "A request with this Idempotency-Key is being answered now; wait for its "
                                        "answer.",
                                        "Idempotency-Key"});
    struct Release {
        ServiceCore& core;
        std::optional<Idempotency> key;
        ~Release() {
            if (key) core.ReleaseKey(key->key);
        }
    } release{call.core, *key};
    return PrintCutSheet(
        call.core, call.token, call.params.at(0), *body, [&](const LabelRequest& request) -> HttpResponse {
            std::optional<Idempotency> cut;
            if (*key)
                cut = Idempotency{(*key)->key + "#" + std::to_string(request.cut ? request.cut->row.value_or(0) : 0),
                                  (*key)->digest};
            if (cut) {
                auto replayed = Replay(call.core, *cut);
                if (!replayed) return ErrorResponse(replayed.error());
                if (*replayed) return std::move(**replayed);
            }
            LabelRequest keyed = request;
            keyed.requireRow = cut.has_value();
            ObservedRecorder recorder(call.core.journal(), cut ? cut->key : "", cut ? cut->digest : "");
            const auto printed = PrintAndRecord(call.core.plant(), keyed, recorder);
            return LabelAnswer(call.core, printed, recorder, request.printer);
        });
}

Answer PostCutPreview(const Call& call) {
    auto body = JsonBody(call.request);
    if (!body) return std::unexpected(body.error());
    return PreviewCut(call.core, call.token, call.params.at(0), *body, [&](const LabelRequest& request) -> Answer {
        std::string stream;
        FunctionOutput keep([&stream](std::string_view bytes) -> SendResult {
            stream = bytes;
            return SendReceipt{};
        });
        const auto composed = PreviewRequest(call.core.plant(), request, keep);
        if (!composed)
            return std::unexpected(ApiError{422, "refused", composed.error().text, FieldOf(composed.error().text)});
        return PictureAnswer(stream, std::string(composed->layout));
    });
}

constexpr const char* kSessionCookie = "tarnwick_session";

std::string CookieValue(const HttpRequest& request, std::string_view name) {
    const std::string& cookies = request.Header("cookie");
    std::size_t at = 0;
    while (at < cookies.size()) {
        const std::size_t end = std::min(cookies.find(';', at), cookies.size());
        std::string_view pair = std::string_view(cookies).substr(at, end - at);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        at = end + 1;
    }
    return "";
}

// The server ends an idle session; the cookie lasts as long as the browser, so that a
// session kept in use is never dropped by the browser under it. An id of "" clears it.
std::string SessionCookie(const ServiceCore& core, const std::string& id) {
    return std::string(kSessionCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict" +
           (id.empty() ? "; Max-Age=0" : "") + (core.tls ? "; Secure" : "");
}

json TokenJson(const ServiceCore& core, const TokenInfo& token) {
    json printers = json::array();
    for (const std::string& printer : token.printers) printers.push_back(printer);
    return {{"name", token.name},
            {"role", std::string(RoleName(token.role))},
            {"printers", printers},
            {"idleSeconds", core.sessionIdle().count()}};
}

Answer GetSession(const Call& call) {
    if (call.session.empty())
        return std::unexpected(ApiError{401, "unauthorized", "No one is signed in on this page.", ""});
    return JsonResponse(200, TokenJson(call.core, call.token));
}

Answer DeleteSession(const Call& call) {
    call.core.CloseSession(call.session);
    HttpResponse response{204, "application/json", "", {}};
    response.headers.emplace_back("Set-Cookie", SessionCookie(call.core, ""));
    return response;
}

Answer GetEvents(const Call& call) {
    HttpResponse response{200, "text/event-stream", "", {}};
    response.stream = call.core.events().Open();
    return response;
}

Answer GetFabrics(const Call&) {
    json lists = json::array();
    for (const auto& list : kFabricLists) {
        json items = json::array();
        for (const char* item : list) items.push_back(item);
        lists.push_back(std::move(items));
    }
    return JsonResponse(200, {{"lines", lists}});
}

Answer GetCut(const Call& call) {
    int row = 0;
    const std::string& text = call.params.at(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), row);
    if (error != std::errc() || end != text.data() + text.size())
        return std::unexpected(NotFound("There is no cut in row \"" + text + "\"."));
    auto cut = ReadUploadedCut(call.core, call.params.at(0), row);
    if (!cut) return std::unexpected(cut.error());
    return JsonResponse(200, *cut);
}

struct Route {
    const char* method;
    const char* path;  // segments after /api/v1; {x} takes one segment
    Answer (*handle)(const Call&);
};

constexpr Route kRoutes[] = {
    {"POST", "labels", PostLabels},
    {"POST", "previews", PostPreviews},
    {"POST", "cut-sheets", PostCutSheet},
    {"POST", "cut-sheets/{id}/labels", PostCutSheetLabels},
    {"GET", "jobs", GetJobs},
    {"GET", "jobs/{id}", GetJob},
    {"GET", "jobs/{id}/preview.png", GetJobPreview},
    {"POST", "jobs/{id}/reprint", PostReprint},
    {"GET", "printers", GetPrinters},
    {"GET", "styles", GetStyles},
    {"PUT", "styles/{style}", PutStyle},
    {"DELETE", "styles/{style}", DeleteStyle},
    {"GET", "session", GetSession},
    {"DELETE", "session", DeleteSession},
    {"GET", "events", GetEvents},
    {"GET", "fabrics", GetFabrics},
    {"GET", "cut-sheets/{id}/cuts/{row}", GetCut},
    {"POST", "cut-sheets/{id}/previews", PostCutPreview},
};

std::optional<std::vector<std::string>> Match(const char* pattern, const std::vector<std::string>& path) {
    const auto parts = Segments(pattern);
    if (parts.size() != path.size()) return std::nullopt;
    std::vector<std::string> params;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].front() == '{') params.push_back(path[i]);
        else if (parts[i] != path[i]) return std::nullopt;
    }
    return params;
}

std::string MetricsText(ServiceCore& core, std::size_t depth) {
    service::Metrics& m = core.metrics();
    const std::lock_guard lock(m.mutex);
    std::string text =
        "# HELP tarnwick_requests_total HTTP requests answered, by status.\n# TYPE tarnwick_requests_total counter\n";
    for (const auto& [status, count] : m.requests)
        text += "tarnwick_requests_total{status=\"" + std::to_string(status) + "\"} " + std::to_string(count) + "\n";
    text += "# HELP tarnwick_jobs_total Label jobs, by outcome.\n# TYPE tarnwick_jobs_total counter\n";
    for (const auto& [outcome, count] : m.jobs)
        text += "tarnwick_jobs_total{outcome=\"" + outcome + "\"} " + std::to_string(count) + "\n";
    text +=
        "# HELP tarnwick_queue_depth Requests waiting for a worker or with one.\n# TYPE tarnwick_queue_depth "
        "gauge\ntarnwick_queue_depth " +
        std::to_string(depth) + "\n";
    text +=
        "# HELP tarnwick_journal_outages_total Times the print journal stopped being kept.\n# TYPE "
        "tarnwick_journal_outages_total counter\ntarnwick_journal_outages_total " +
        std::to_string(m.journalOutages) + "\n";
    text +=
        "# HELP tarnwick_plant_outages_total Times the plant database stopped answering.\n# TYPE "
        "tarnwick_plant_outages_total counter\ntarnwick_plant_outages_total " +
        std::to_string(m.plantOutages) + "\n";
    if (core.station() != nullptr)
        text +=
            "# HELP tarnwick_plant_up Whether the plant database answered when last asked.\n# TYPE "
            "tarnwick_plant_up gauge\ntarnwick_plant_up " +
            std::string(m.plantDown ? "0" : "1") + "\n";
    return text;
}

// The page's own answers carry a policy that lets it run only its own files.
void PageHeaders(HttpResponse& response) {
    response.headers.emplace_back("Content-Security-Policy",
                                  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
                                  "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    response.headers.emplace_back("X-Frame-Options", "DENY");
    response.headers.emplace_back("Referrer-Policy", "no-referrer");
}

std::optional<HttpResponse> StaticFile(const HttpRequest& request) {
    if (request.method != "GET" && request.method != "HEAD") return std::nullopt;
    const std::string name = request.path == "/"                 ? "index.html"
                             : request.path.starts_with("/web/") ? request.path.substr(5)
                                                                 : "";
    for (const WebAsset& asset : WebAssets())
        if (!name.empty() && asset.name == name) {
            HttpResponse response{200, std::string(asset.type), std::string(asset.content), {}};
            PageHeaders(response);
            return response;
        }
    return std::nullopt;
}

// A request signed in by the page's cookie that changes something must come from the
// page itself: its Origin is this service's.
bool SameOrigin(const ServiceCore& core, const HttpRequest& request) {
    const std::string& origin = request.Header("origin");
    return !origin.empty() && origin == (core.tls ? "https://" : "http://") + request.Header("host");
}

HttpResponse PostSession(ServiceCore& core, const HttpRequest& request) {
    if (!request.Header("origin").empty() && !SameOrigin(core, request))
        return ErrorResponse(
            {403, "csrf", "The sign-in did not come from this station's page, so it was refused.", ""});
    auto body = JsonBody(request);
    if (!body) return ErrorResponse(body.error());
    const Fields fields(*body, {"token"});
    if (auto unknown = fields.Unknown()) return ErrorResponse(*unknown);
    auto secret = fields.Text("token");
    if (!secret) return ErrorResponse(secret.error());
    auto token = core.Authenticate(*secret);
    if (!token) {
        core.LoginFailed(request.peer);
        return ErrorResponse({401, "unauthorized", "The token is not known (revoked, or mistyped).", "token"});
    }
    HttpResponse response = JsonResponse(201, TokenJson(core, *token));
    response.headers.emplace_back("Set-Cookie", SessionCookie(core, core.OpenSession(*token)));
    return response;
}

HttpResponse Route(ServiceCore& core, const HttpRequest& request, std::size_t depth) {
    if (request.path == "/healthz") {
        if (request.method != "GET" && request.method != "HEAD")
            return ErrorResponse({405, "method_not_allowed", "/healthz answers GET.", ""});
        const std::lock_guard lock(core.metrics().mutex);
        return JsonResponse(200, {{"status", "ok"},
                                  {"journal", core.metrics().journalDown ? "down" : "kept"},
                                  {"plant", core.station() == nullptr  ? "none"
                                            : core.metrics().plantDown ? "down"
                                                                       : "up"}});
    }
    if (auto page = StaticFile(request)) return std::move(*page);
    const std::vector<std::string> path = Segments(request.path);
    const bool api = path.size() >= 2 && path[0] == "api" && path[1] == "v1";
    if (!api && request.path != "/metrics")
        return ErrorResponse(
            NotFound("There is nothing at " + PrintableText(request.path) + "; the API is under /api/v1."));
    // Everything but /healthz and the page needs a token; an address that keeps guessing waits.
    if (auto wait = core.LoginDelay(request.peer)) {
        HttpResponse response = ErrorResponse({429, "too_many_failures",
                                               "Too many requests with a wrong token from this address; wait, then "
                                               "send the right token.",
                                               ""});
        response.headers.emplace_back("Retry-After", std::to_string(wait->count()));
        return response;
    }
    const std::vector<std::string> rest(path.begin() + (api ? 2 : 0), path.end());
    if (api && rest.size() == 1 && rest[0] == "session" && request.method == "POST") return PostSession(core, request);
    const std::string& authorization = request.Header("authorization");
    constexpr std::string_view kBearer = "Bearer ";
    std::optional<TokenInfo> token;
    std::string session;
    if (authorization.starts_with(kBearer)) {
        token = core.Authenticate(std::string_view(authorization).substr(kBearer.size()));
    } else if (authorization.empty() && !(session = CookieValue(request, kSessionCookie)).empty()) {
        token = core.SessionToken(session);
        if (!token) {
            HttpResponse response =
                ErrorResponse({401, "session_expired",
                               "Your sign-in has ended (signed out, or unused for too long); sign in again.", ""});
            response.headers.emplace_back("Set-Cookie", SessionCookie(core, ""));
            return response;
        }
        if (request.method != "GET" && request.method != "HEAD" && !SameOrigin(core, request))
            return ErrorResponse({403, "csrf",
                                  "The request did not come from this station's page (its Origin is missing or "
                                  "another site's), so it was refused.",
                                  ""});
    }
    if (!token) {
        // A request that shows no token at all (a page before its sign-in) guesses nothing.
        if (!authorization.empty()) core.LoginFailed(request.peer);
        return ErrorResponse({401, "unauthorized",
                              authorization.empty()
                                  ? "A token is needed: send Authorization: Bearer TOKEN (tarnwick-cli "
                                    "tokens add makes one)."
                                  : "The token is not known (revoked, or mistyped).",
                              "Authorization"});
    }
    if (!api) return {200, "text/plain; version=0.0.4", MetricsText(core, depth), {}};
    if (rest.size() == 1 && rest[0] == "openapi.json") return {200, "application/json", OpenApiDocument(), {}};
    bool pathKnown = false;
    for (const auto& route : kRoutes) {
        auto params = Match(route.path, rest);
        if (!params) continue;
        pathKnown = true;
        if (request.method != route.method) continue;
        const Call call{core, request, *token, std::move(*params), session};
        auto answer = route.handle(call);
        return answer ? std::move(*answer) : ErrorResponse(answer.error());
    }
    if (pathKnown)
        return ErrorResponse({405, "method_not_allowed", request.method + " is not an action of this path.", ""});
    return ErrorResponse(
        NotFound("There is no call " + PrintableText(request.path) + "; /api/v1/openapi.json lists the calls."));
}

}  // namespace

std::vector<std::string> ApiCalls() {
    std::vector<std::string> calls{"POST /session"};
    for (const auto& route : kRoutes) calls.push_back(std::string(route.method) + " /" + route.path);
    return calls;
}

// Behind a reverse proxy on this machine every request comes from loopback: the address
// the proxy says it had is the one wrong tokens are counted against.
std::string ClientOf(const HttpRequest& request) {
    const std::string& forwarded = request.Header("x-forwarded-for");
    if (forwarded.empty() || (request.peer != "127.0.0.1" && request.peer != "::1")) return request.peer;
    std::string last = forwarded.substr(forwarded.rfind(',') == std::string::npos ? 0 : forwarded.rfind(',') + 1);
    while (!last.empty() && last.front() == ' ') last.erase(last.begin());
    return last.empty() ? request.peer : last;
}

HttpResponse HandleRequest(ServiceCore& core, const HttpRequest& incoming) {
    const auto started = std::chrono::steady_clock::now();
    HttpRequest request = incoming;
    request.peer = ClientOf(incoming);
    HttpResponse response = Route(core, request, core.queueDepth ? core.queueDepth() : 0);
    core.metrics().Request(response.status);
    const auto took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", took);
    // No token, no body, no label bytes: the path and what came of it.
    LogLine(request.peer + " " + request.method + " " + PrintableText(request.path) + " " +
            std::to_string(response.status) + " " + ms + " ms");
    return response;
}

}  // namespace tarnwick::service
