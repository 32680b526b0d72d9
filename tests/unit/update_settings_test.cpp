// The update settings as one check sees them: every member from one reading
// of the text, and the refusals that later reports rely on.
#include <gtest/gtest.h>

#include <string>

#include "platform/ReportCapture.h"
#include "update/UpdateSettings.h"

namespace {

TEST(UpdateSettings, EveryMemberFromOneText) {
  const struct {
    const char* text;
    bool has_url;
    const char* url;
    bool has_key;
    const char* key;
    const char* metrics;
    bool refused;
    const char* refused_value;
  } cases[] = {
      {"", false, "", false, "", "", false, ""},  // no file: an empty object
      {"not json", false, "", false, "", "", false, ""},
      {"[1]", false, "", false, "", "", false, ""},
      {R"({"url":"http://h/a.tar.gz"})", true, "http://h/a.tar.gz", false, "", "", false, ""},
      {R"({"url":5,"public_key":"RWQ"})", false, "", true, "RWQ", "", false, ""},
      {R"({"public_key":7})", false, "", true, "", "", false, ""},  // not a valid key
      {R"({"public_key":null})", false, "", true, "", "", false, ""},
      {R"({"metrics_file":"/var/m.prom"})", false, "", false, "", "/var/m.prom", false, ""},
      {R"({"metrics_file":"m.prom"})", false, "", false, "", "", true, "m.prom"},
      {R"({"metrics_file":""})", false, "", false, "", "", true, ""},
      {R"({"metrics_file":3})", false, "", false, "", "", true, "(not a string)"},
      {R"({"metrics_file":[]})", false, "", false, "", "", true, "(not a string)"},
      {R"({"metrics_file":null})", false, "", false, "", "", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    UPDATE_SETTINGS s = ParseUpdateSettings(c.text, "/app/config.json");
    EXPECT_EQ(s.text, c.text);
    EXPECT_EQ(s.has_url, c.has_url);
    EXPECT_EQ(s.url, c.url);
    EXPECT_EQ(s.has_key, c.has_key);
    EXPECT_EQ(s.key_text, c.key);
    EXPECT_EQ(s.metrics_file, c.metrics);
    EXPECT_EQ(s.metrics_refused, c.refused);
    EXPECT_EQ(s.metrics_value, c.refused_value);
  }
}

TEST(UpdateSettings, UrlReportsWhatIsMissingWithoutCredentials) {
  ReportCapture capture;
  UPDATE_SETTINGS s = ParseUpdateSettings(R"({"url": "http://u:secret@h/x")", "/app/config.json");
  EXPECT_EQ(ReadUrl(s), "");
  EXPECT_EQ(capture.Message(),
            R"(json error! path:/app/config.json json:{"url": "http://***@h/x")");
}

TEST(UpdateSettings, RefusedMetricsFileReportedOncePerValue) {
  const char* texts[] = {R"({"metrics_file":"a"})", R"({"metrics_file":"a"})",
                         R"({"metrics_file":"/ok"})", R"({"metrics_file":"b"})"};
  const bool reported[] = {true, false, false, true};
  for (size_t i = 0; i < 4; ++i) {
    ReportCapture capture;
    MetricsFile(ParseUpdateSettings(texts[i], "/app/config.json"));
    EXPECT_EQ(!capture.Message().empty(), reported[i]) << texts[i];
  }
}

}  // namespace
