#include "driver/record.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "radiometry/radiometry.hpp"
#include "raster/geometry.hpp"

#ifndef CIRSHARP_VERSION
#define CIRSHARP_VERSION "unknown"
#endif

namespace cirsharp {

namespace {

using Json = nlohmann::ordered_json;

// Length of the well-formed UTF-8 sequence at the start of `s`, 0 if none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_sequence(std::string_view s) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // the allowed range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        n = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        n = 3;
        if (b0 == 0xe0) lo = 0xa0;  // overlong
        if (b0 == 0xed) hi = 0x9f;  // surrogates
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        n = 4;
        if (b0 == 0xf0) lo = 0x90;  // overlong
        if (b0 == 0xf4) hi = 0x8f;  // above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < lo || byte(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    return n;
}

std::string hex_of(std::string_view s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

// A path as a JSON string, with its raw bytes beside it when it is not UTF-8.
void put_path(Json& object, const std::string& path) {
    bool valid = true;
    object["path"] = replace_invalid_utf8(path, valid);
    if (!valid) object["path_hex"] = hex_of(path);
}

Json optional_size(const std::optional<std::uint64_t>& size) {
    return size ? Json(*size) : Json(nullptr);
}

std::string iso8601(std::chrono::system_clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    const std::time_t seconds = std::time_t(ms.count() / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", int(ms.count() % 1000));
    return std::string(text, n) + millis;
}

// Seconds to the millisecond: the record reads 0.612, not 0.61199999.
double milliseconds(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

}  // namespace

std::string replace_invalid_utf8(std::string_view text, bool& valid) {
    std::string out;
    valid = true;
    while (!text.empty()) {
        const std::size_t n = utf8_sequence(text);
        if (n == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD for this one byte
            valid = false;
            text.remove_prefix(1);
        } else {
            out.append(text.substr(0, n));
            text.remove_prefix(n);
        }
    }
    return out;
}

RunRecord record_of(const RunPlan& plan, const RunFindings& found) {
    RunRecord r;
    r.version = CIRSHARP_VERSION;
    r.plan = plan;
    const char* input_names[] = {"colour", "pan_tiles"};
    for (std::size_t i = 0; i < 2; ++i)
        r.inputs.push_back({int(i) + 1, input_names[i], plan.paths[i], found.input_sizes[i]});
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const ProductLayout& l = layout_of(kProducts[i]);
        std::string name(l.name);
        std::replace(name.begin(), name.end(), '-', '_');
        r.products.push_back({int(i) + 3, name, plan.paths[i + 2],
                              found.committed[i] ? std::optional(l.file_bytes()) : std::nullopt,
                              found.committed[i]});
    }
    if (found.pan) {
        const PanLimits& p = found.pan->limits;
        const BandStretch pan = BandStretch::from_raw_limits(p.maximum, p.minimum, kPanExponent);
        r.pan = RecordPan{*found.pan, pan.hi == pan.lo, kPanGeometry.kept_samples()};
    }
    if (found.band_limits && found.stretch) {
        const BandLimits l = stretch_limits(*found.band_limits, *found.stretch);
        r.limits = {l.minimum[kRed], l.minimum[kGreen], l.minimum[kBlue], l.minimum[kNir],
                    l.maximum[kRed], l.maximum[kGreen], l.maximum[kBlue], l.maximum[kNir]};
    }
    return r;
}

std::vector<std::string> record_flags(const RunRecord& r) {
    std::vector<std::string> flags;
    if (r.status != 0) flags.push_back("failed");
    if (r.pan) {
        if (r.pan->scan.limits.maximum == 65535) flags.push_back("pan_saturated");
        if (!r.pan->scan.minimum_found) flags.push_back("pan_min_unset");
        if (r.pan->scan.nodata * 100 > r.pan->samples * kNodataPercentLimit)
            flags.push_back("pan_nodata");
        if (r.pan->compressed_equal) flags.push_back("constant_pan");
    }
    if (r.limits) {
        const auto& l = *r.limits;  // minima 0..3, maxima 4..7: red, green, blue, NIR
        if (l[0] == l[4]) flags.push_back("constant_red");
        if (l[1] == l[5]) flags.push_back("constant_green");
        if (l[3] == l[7]) flags.push_back("constant_nir");
    }
    std::sort(flags.begin(), flags.end());
    return flags;
}

namespace {

Json options_json(const RunPlan& plan) {
    Json options;
    options["threads"] = plan.threads;
    options["fsync"] = plan.fsync;
    options["io"] = plan.direct_io ? "direct" : "buffered";
    options["reference"] = plan.reference;
    options["envi"] = plan.envi;
    if (plan.quicklook) {
        Json folder;
        put_path(folder, *plan.quicklook);
        options["quicklook"] = folder["path"];
        if (folder.contains("path_hex")) options["quicklook_hex"] = folder["path_hex"];
    } else {
        options["quicklook"] = nullptr;
    }
    if (plan.thumbnail)
        options["thumbnail"] = *plan.thumbnail;
    else
        options["thumbnail"] = nullptr;
    return options;
}

Json files_json(const std::vector<RecordFile>& files, bool products) {
    Json list = Json::array();
    for (const auto& f : files) {
        Json o;
        o["position"] = f.position;
        o["name"] = f.name;
        put_path(o, f.path);
        o["size"] = !products || f.committed ? optional_size(f.size) : Json(nullptr);
        if (products) o["committed"] = f.committed;
        list.push_back(o);
    }
    return list;
}

Json pan_json(const std::optional<RecordPan>& pan) {
    if (!pan) return nullptr;
    const PanScan& p = pan->scan;
    return {{"max", p.limits.maximum},
            {"min", p.limits.minimum},
            {"samples", pan->samples},
            {"nodata", p.nodata},
            {"saturated", p.saturated}};
}

Json limits_json(const std::optional<std::array<std::uint16_t, 8>>& limits) {
    if (!limits) return nullptr;
    const auto& l = *limits;
    auto band = [](std::uint16_t lo, std::uint16_t hi) { return Json{{"min", lo}, {"max", hi}}; };
    return {{"red", band(l[0], l[4])},
            {"green", band(l[1], l[5])},
            {"blue", band(l[2], l[6])},
            {"nir", band(l[3], l[7])}};
}

}  // namespace

std::string record_json(const RunRecord& r) {
    Json j;
    j["record"] = kRecordVersion;
    j["program"] = "cirsharp";
    j["version"] = r.version;
    j["options"] = options_json(r.plan);
    j["start"] = iso8601(r.start);
    j["wall_seconds"] = milliseconds(r.wall_seconds);
    j["cpu_seconds"] = milliseconds(r.cpu_seconds);
    j["status"] = r.status;
    if (r.error) {
        bool valid = true;
        j["error"] = replace_invalid_utf8(*r.error, valid);
    } else {
        j["error"] = nullptr;
    }
    j["inputs"] = files_json(r.inputs, false);
    j["products"] = files_json(r.products, true);
    j["pan"] = pan_json(r.pan);
    j["limits"] = limits_json(r.limits);
    j["flags"] = record_flags(r);
    return j.dump(2) + "\n";
}

}  // namespace cirsharp
