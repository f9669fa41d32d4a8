// The run record: its JSON text, its flags and paths that are not UTF-8.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "driver/record.hpp"

namespace cirsharp {
namespace {

using Json = nlohmann::json;

std::string replaced(std::string_view s, bool& valid) {
    return replace_invalid_utf8(s, valid);
}

TEST(RecordUtf8, EachByteOutsideAWellFormedSequenceBecomesOneReplacement) {
    const std::string r = "\xef\xbf\xbd";
    bool valid = false;
    EXPECT_EQ(replaced("plain/é/€/\xf0\x9f\x9b\xa9/\xf4\x8f\xbf\xbf", valid),
              "plain/é/€/\xf0\x9f\x9b\xa9/\xf4\x8f\xbf\xbf");
    EXPECT_TRUE(valid);
    EXPECT_EQ(replaced("a\xff"
                       "b",
                       valid),
              "a" + r + "b");
    EXPECT_FALSE(valid);
    EXPECT_EQ(replaced("\xe2\x82", valid), r + r);  // cut short
    EXPECT_EQ(replaced("\xe2\x82x", valid), r + r + "x");
    EXPECT_EQ(replaced("\xc0\xaf", valid), r + r);                  // overlong '/'
    EXPECT_EQ(replaced("\xe0\x80\xaf", valid), r + r + r);          // overlong '/'
    EXPECT_EQ(replaced("\xed\xa0\x80", valid), r + r + r);          // a surrogate
    EXPECT_EQ(replaced("\xf4\x90\x80\x80", valid), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(replaced("\x80"
                       "\xc3\xa9",
                       valid),
              r + "é");  // a lone continuation byte
    EXPECT_EQ(replaced("", valid), "");
    EXPECT_TRUE(valid);
}

RunRecord healthy() {
    RunRecord r;
    r.version = "1.0.0";
    r.plan.threads = 2;
    r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796780600123));
    r.wall_seconds = 0.6119999;
    r.cpu_seconds = 0.7254;
    r.inputs = {{1, "colour", "c.raw", 70656008, false},
                {2, "pan_tiles", "p.raw", 180879368, false}};
    r.products = {{3, "rgbir16", "o/a", 70656000, true}, {4, "cir8", "o/b", std::nullopt, false}};
    r.pan = RecordPan{{{4095, 210}, true, 2304, 0}, false, 86250000};
    r.limits = std::array<std::uint16_t, 8>{812, 700, 300, 900, 3990, 4001, 4095, 6010};
    return r;
}

TEST(Record, JsonHoldsTheKeysInOrderWithNullsForWhatIsMissing) {
    RunRecord r = healthy();
    const std::string text = record_json(r);
    EXPECT_EQ(text.back(), '\n');
    const Json j = Json::parse(text);
    std::vector<std::string> keys;
    const auto ordered = nlohmann::ordered_json::parse(text);
    for (const auto& [key, value] : ordered.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"record", "program", "version", "options", "start",
                                              "wall_seconds", "cpu_seconds", "status", "error",
                                              "inputs", "products", "pan", "limits", "flags"}));
    EXPECT_EQ(j["record"], 1);
    EXPECT_EQ(j["start"], "2026-12-09T01:43:20.123Z");
    EXPECT_EQ(text.find("0.6119999"), std::string::npos);
    EXPECT_EQ(j["wall_seconds"], 0.612);
    EXPECT_EQ(j["cpu_seconds"], 0.725);
    EXPECT_EQ(j["options"],
              Json::parse(R"({"threads": 2, "fsync": false, "io": "direct", "reference": false,
                                            "envi": false, "quicklook": null, "thumbnail": null})"));
    EXPECT_TRUE(j["error"].is_null());
    EXPECT_EQ(j["products"][0], Json::parse(R"({"position": 3, "name": "rgbir16", "path": "o/a",
                                                "size": 70656000, "committed": true})"));
    EXPECT_TRUE(j["products"][1]["size"].is_null());
    EXPECT_EQ(j["pan"], Json::parse(R"({"max": 4095, "min": 210, "samples": 86250000,
                                        "nodata": 2304, "saturated": 0})"));
    EXPECT_EQ(j["limits"]["nir"], Json::parse(R"({"min": 900, "max": 6010})"));
    EXPECT_EQ(j["limits"]["blue"], Json::parse(R"({"min": 300, "max": 4095})"));
    EXPECT_EQ(j["flags"], Json::array());

    r.status = 1;
    r.error = "cannot read p.raw: Input/output error";
    r.pan.reset();
    r.limits.reset();
    r.inputs[0].size.reset();
    const Json failed = Json::parse(record_json(r));
    EXPECT_EQ(failed["error"], "cannot read p.raw: Input/output error");
    EXPECT_TRUE(failed["pan"].is_null());
    EXPECT_TRUE(failed["limits"].is_null());
    EXPECT_TRUE(failed["inputs"][0]["size"].is_null());
    EXPECT_EQ(failed["flags"], Json::parse(R"(["failed"])"));
}

TEST(Record, PathsThatAreNotUtf8StayValidJsonAndKeepTheirBytes) {
    RunRecord r = healthy();
    r.inputs[0].path =
        "in/\xff\xfe"
        "colour.raw";
    r.plan.quicklook = "q\xc3";
    r.error =
        "cannot open in/\xff\xfe"
        "colour.raw: No such file or directory";
    const std::string text = record_json(r);
    const Json j = Json::parse(text);  // throws on invalid UTF-8
    EXPECT_EQ(j["inputs"][0]["path"],
              "in/\xef\xbf\xbd\xef\xbf\xbd"
              "colour.raw");
    EXPECT_EQ(j["inputs"][0]["path_hex"], "696e2ffffe636f6c6f75722e726177");
    EXPECT_FALSE(j["inputs"][1].contains("path_hex"));
    EXPECT_EQ(j["options"]["quicklook"], "q\xef\xbf\xbd");
    EXPECT_EQ(j["options"]["quicklook_hex"], "71c3");
    EXPECT_EQ(j["error"],
              "cannot open in/\xef\xbf\xbd\xef\xbf\xbd"
              "colour.raw: No such file or directory");
}

TEST(Record, FlagsFollowTheLimitsAndTheNodataShare) {
    RunRecord r = healthy();
    r.pan->scan.nodata = r.pan->samples / 20;  // exactly 5 %: not more
    EXPECT_TRUE(record_flags(r).empty());
    ++r.pan->scan.nodata;
    EXPECT_EQ(record_flags(r), (std::vector<std::string>{"pan_nodata"}));
    r.pan->scan.nodata = 0;

    r.pan->scan.limits.maximum = 65535;
    r.pan->scan.limits.minimum = 20000;
    r.pan->scan.minimum_found = false;
    r.pan->compressed_equal = true;
    (*r.limits)[0] = (*r.limits)[4] = 77;    // red
    (*r.limits)[1] = (*r.limits)[5] = 0;     // green
    (*r.limits)[2] = (*r.limits)[6] = 5;     // blue is never compressed or stretched
    (*r.limits)[3] = (*r.limits)[7] = 6010;  // NIR
    r.status = 2;
    EXPECT_EQ(record_flags(r), (std::vector<std::string>{"constant_green", "constant_nir",
                                                         "constant_pan", "constant_red", "failed",
                                                         "pan_min_unset", "pan_saturated"}));
    // A minimum of exactly 20000 that a sample set is not unset.
    r.pan->scan.minimum_found = true;
    const auto flags = record_flags(r);
    EXPECT_EQ(std::count(flags.begin(), flags.end(), "pan_min_unset"), 0);
}

}  // namespace
}  // namespace cirsharp
