// The update settings, <app dir>/config.json: read once per check (one open,
// the size judged on the descriptor that is read, at most kMaxConfigFileSize)
// and parsed once, so that the address, the key and the metrics file of one
// check all come from the same text.
#pragma once

#include <string>

// The watch after an installation, from the "health" object.
struct HEALTH_SETTINGS {
  bool on = false;              // a "health" object was given and taken
  unsigned long watch_s = 300;  // how long the release is on watch
  unsigned long max_ends = 3;   // failing ends of one program that fail the release
  std::string check;            // "<path under bin/> <param>", "" for none
  std::string refused;          // why a "health" member was not taken, "" when it was
};

struct UPDATE_SETTINGS {
  std::string path;      // the file
  std::string text;      // as read; "" when missing, unreadable or too large
  bool has_url = false;  // "url" is a string
  std::string url;
  bool has_key = false;  // "public_key" is present (updates must be signed)
  std::string key_text;  // its text; "" when it is not a string (not a valid key)
  // "metrics_file": "" when not set or not usable; metrics_refused holds the
  // refused value ("(not a string)" for another type) when it is set but not
  // an absolute path.
  std::string metrics_file;
  bool metrics_refused = false;
  std::string metrics_value;
  HEALTH_SETTINGS health;
};

// The settings of the text of the file at path.
UPDATE_SETTINGS ParseUpdateSettings(const std::string& text, const std::string& path);

// Reads <app dir>/config.json.
UPDATE_SETTINGS ReadUpdateSettings();

// The "url", or "" after the "json error!" report when there is none.
std::string ReadUrl(const UPDATE_SETTINGS& settings);

// The metrics file's path, or ""; a refused value is reported once for each
// distinct value, not at every check.
std::string MetricsFile(const UPDATE_SETTINGS& settings);

// The watch settings; a refused "health" is reported once for each distinct
// refusal and watches nothing.
HEALTH_SETTINGS Health(const UPDATE_SETTINGS& settings);
