#include "status/StatusText.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <map>
#include <utility>

#include "update/Rollout.h"
#include "update/UpdateResult.h"

namespace {

typedef rapidjson::Writer<rapidjson::StringBuffer> JsonWriter;

// The five states the status tells, in the order the metrics list them.
const char* const kStateWords[] = {"running", "waiting", "stopped", "exhausted", "never started"};

void String(JsonWriter& w, const std::string& text) {
  std::string valid = ValidUtf8(text);
  w.String(valid.data(), static_cast<rapidjson::SizeType>(valid.size()));
}

// A time, or null for none.
void Time(JsonWriter& w, time_t t) {
  if (t == 0) {
    w.Null();
  } else {
    w.Int64(static_cast<int64_t>(t));
  }
}

void LastEnd(JsonWriter& w, const PROGRAM_END& end) {
  if (end.kind == PROGRAM_END::kNone) {
    w.Null();
    return;
  }
  w.StartObject();
  w.Key("time");
  Time(w, end.time);
  w.Key("pid");
  w.Int(end.pid);
  w.Key("kind");
  if (end.kind == PROGRAM_END::kExit) {
    w.String("exit");
    w.Key("exit");
    w.Int(end.code);
  } else if (end.kind == PROGRAM_END::kSignal) {
    w.String("signal");
    w.Key("signal");
    String(w, SignalName(end.code));
    w.Key("core");
    w.Bool(end.core);
  } else {
    w.String("unknown");
  }
  w.EndObject();
}

void Program(JsonWriter& w, const PRO_INFO& info) {
  w.StartObject();
  w.Key("path");
  String(w, info.path);
  w.Key("param");
  String(w, info.param_str);
  // Only a live child's id: an ended one may belong to another process by now.
  w.Key("pid");
  if (info.running() && info.pid > 0) {
    w.Int(info.pid);
  } else {
    w.Null();
  }
  w.Key("state");
  w.String(StateWord(info.state));
  w.Key("starts_left");
  if (info.run_tick == kUnlimitedRuns) {
    w.String("unlimited");
  } else {
    w.Int(info.run_tick > 0 ? info.run_tick : 0);
  }
  w.Key("starts");
  w.Uint64(info.starts);
  w.Key("last_start");
  Time(w, info.last_start);
  w.Key("last_end");
  LastEnd(w, info.last_end);
  w.EndObject();
}

// A label value of the exposition format: backslash, quote and line feed escaped.
std::string Label(const std::string& text) {
  std::string out;
  for (char c : ValidUtf8(text)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // labels: the text between the braces, "" for none.
  void Sample(const char* name, const std::string& labels, const std::string& value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }
  void Sample(const char* name, const std::string& labels, long long value) {
    Sample(name, labels, std::to_string(value));
  }
  const std::string& text() const { return out_; }

 private:
  std::string out_;
};

// Each program's labels: path and param, and a "copy" for a later entry with
// the same two, since one series must not appear twice.
std::vector<std::string> ProgramLabels(const std::vector<PRO_INFO>& programs) {
  std::map<std::pair<std::string, std::string>, int> seen;
  std::vector<std::string> labels;
  for (const PRO_INFO& info : programs) {
    int copy = ++seen[{info.path, info.param_str}];
    std::string l = "path=\"" + Label(info.path) + "\",param=\"" + Label(info.param_str) + "\"";
    if (copy > 1) l += ",copy=\"" + std::to_string(copy) + "\"";
    labels.push_back(std::move(l));
  }
  return labels;
}

// The supervisor's own: its version, its process id, its start.
void SupervisorFamilies(Exposition& m, const SUPERVISOR_STATUS& status) {
  m.Family("monitor_info", "gauge",
           "The supervisor, with the installed version (CRC of update.gz).");
  m.Sample("monitor_info", "version=\"" + Label(status.version) + "\"", 1);
  m.Family("monitor_pid", "gauge", "Process id of the supervisor.");
  m.Sample("monitor_pid", "", status.pid);
  m.Family("monitor_start_time_seconds", "gauge", "When the supervisor started.");
  m.Sample("monitor_start_time_seconds", "", static_cast<long long>(status.started));
}

// The programs': how many are in each state (every state, even at 0), then
// one series per program in each family.
void ProgramFamilies(Exposition& m, const std::vector<PRO_INFO>& programs) {
  std::map<std::string, long long> by_state;
  for (const char* word : kStateWords) by_state[word] = 0;
  for (const PRO_INFO& info : programs) ++by_state[StateWord(info.state)];
  m.Family("monitor_programs", "gauge", "Programs of the list by state.");
  for (const char* word : kStateWords)
    m.Sample("monitor_programs", std::string("state=\"") + word + "\"", by_state[word]);

  // A family with the samples that sample gives for each program.
  const std::vector<std::string> labels = ProgramLabels(programs);
  auto per_program = [&](const char* name, const char* type, const char* help, auto sample) {
    m.Family(name, type, help);
    for (size_t i = 0; i < programs.size(); ++i) {
      auto add = [&](const std::string& more, auto value) {
        m.Sample(name, labels[i] + more, value);
      };
      sample(programs[i], add);
    }
  };
  per_program("monitor_program_up", "gauge", "1 while the program runs.",
              [](const PRO_INFO& p, auto add) { add("", p.state == ProgramState::kRunning); });
  per_program("monitor_program_state", "gauge", "The program's state, as a label.",
              [](const PRO_INFO& p, auto add) {
                add(std::string(",state=\"") + StateWord(p.state) + "\"", 1);
              });
  per_program("monitor_program_starts_total", "counter", "Starts of the program.",
              [](const PRO_INFO& p, auto add) { add("", static_cast<long long>(p.starts)); });
  per_program("monitor_program_starts_left", "gauge", "Starts the program has left.",
              [](const PRO_INFO& p, auto add) {
                if (p.run_tick == kUnlimitedRuns) {
                  add("", std::string("+Inf"));
                } else {
                  add("", p.run_tick > 0 ? p.run_tick : 0);
                }
              });
  per_program("monitor_program_ends_total", "counter",
              "Ends of the program: by its own exit, or by a signal.",
              [](const PRO_INFO& p, auto add) {
                add(",kind=\"exit\"", static_cast<long long>(p.exits));
                add(",kind=\"signal\"", static_cast<long long>(p.signals));
              });
  per_program("monitor_program_last_start_time_seconds", "gauge", "When the program last started.",
              [](const PRO_INFO& p, auto add) {
                if (p.last_start != 0) add("", static_cast<long long>(p.last_start));
              });
  per_program("monitor_program_last_end_time_seconds", "gauge", "When the program last ended.",
              [](const PRO_INFO& p, auto add) {
                if (p.last_end.kind != PROGRAM_END::kNone)
                  add("", static_cast<long long>(p.last_end.time));
              });
  per_program("monitor_program_last_exit_code", "gauge",
              "Exit status of the program's last end, when it exited by itself.",
              [](const PRO_INFO& p, auto add) {
                if (p.last_end.kind == PROGRAM_END::kExit) add("", p.last_end.code);
              });
}

// The update path's: the last check's end and result once a check ended, and
// when the next is due once one is.
void UpdateFamilies(Exposition& m, const SUPERVISOR_STATUS& status) {
  if (status.last_check.done) {
    m.Family("monitor_update_last_check_time_seconds", "gauge",
             "When the last update check ended.");
    m.Sample("monitor_update_last_check_time_seconds", "",
             static_cast<long long>(status.last_check.time));
    m.Family("monitor_update_last_check_result", "gauge",
             "Result code of the last update check, with its word.");
    m.Sample("monitor_update_last_check_result",
             std::string("word=\"") + ResultWord(status.last_check.result) + "\"",
             status.last_check.result);
  }
  if (status.next_check != 0) {
    m.Family("monitor_update_next_check_time_seconds", "gauge",
             "When the next update check is due.");
    m.Sample("monitor_update_next_check_time_seconds", "",
             static_cast<long long>(status.next_check));
  }
  if (!status.watch_crc.empty()) {
    m.Family("monitor_update_watch_until_seconds", "gauge",
             "When the watch of the release just installed ends.");
    m.Sample("monitor_update_watch_until_seconds", "", static_cast<long long>(status.watch_until));
  }
  if (status.rollout_seen) {
    m.Family("monitor_update_rollout_place", "gauge",
             "The host's place for the published release it does not run yet, 0 to 100.");
    m.Sample("monitor_update_rollout_place", "", NumberText(status.rollout_place));
    m.Family("monitor_update_rollout_share", "gauge",
             "The share of the hosts the published release is for; reached below it.");
    m.Sample("monitor_update_rollout_share", "", NumberText(status.rollout_share));
  }
  m.Family("monitor_update_rollbacks_total", "counter",
           "Releases rolled back since the supervisor started.");
  m.Sample("monitor_update_rollbacks_total", "", static_cast<long long>(status.rollbacks));
  if (!status.last_rollback.crc.empty()) {
    m.Family("monitor_update_rejected_info", "gauge",
             "The release last rolled back, which is not installed again.");
    m.Sample("monitor_update_rejected_info", "crc=\"" + Label(status.last_rollback.crc) + "\"", 1);
  }
}

}  // namespace

const char* StateWord(ProgramState state) {
  switch (state) {
    case ProgramState::kRunning:
      return kStateWords[0];
    case ProgramState::kWaiting:
    case ProgramState::kStartFailed:  // tried again after a pause
      return kStateWords[1];
    case ProgramState::kStopping:
    case ProgramState::kStopped:
      return kStateWords[2];
    case ProgramState::kExhausted:
      return kStateWords[3];
    case ProgramState::kNeverStarted:
      break;
  }
  return kStateWords[4];
}

const char* ResultWord(int result) {
  switch (result) {
    case kUpdateInstalled:
      return "installed";
    case kUpdateCurrent:
      return "current";
    case kUpdateNoCrcFile:
      return "no crc file";
    case kUpdateNoArchive:
      return "no archive";
    case kUpdateWriteFailed:
      return "write failed";
    case kUpdateCrcMismatch:
      return "crc mismatch";
    case kUpdateUnreadable:
      return "archive refused";
    case kUpdateSignatureRefused:
      return "signature refused";
    case kUpdateRejected:
      return "rejected";
  }
  return "unknown";
}

std::string StatusJson(const SUPERVISOR_STATUS& status) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  w.Key("pid");
  w.Int(status.pid);
  w.Key("started");
  Time(w, status.started);
  w.Key("version");
  String(w, status.version);
  w.Key("update");
  w.StartObject();
  w.Key("last");
  if (status.last_check.done) {
    w.StartObject();
    w.Key("time");
    Time(w, status.last_check.time);
    w.Key("result");
    w.Int(status.last_check.result);
    w.Key("word");
    w.String(ResultWord(status.last_check.result));
    w.Key("message");
    String(w, status.last_check.message);
    w.EndObject();
  } else {
    w.Null();
  }
  w.Key("next");
  Time(w, status.next_check);
  w.Key("watch");
  if (status.watch_crc.empty()) {
    w.Null();
  } else {
    w.StartObject();
    w.Key("crc");
    String(w, status.watch_crc);
    w.Key("until");
    Time(w, status.watch_until);
    w.EndObject();
  }
  w.Key("rollout");
  if (!status.rollout_seen) {
    w.Null();
  } else {
    w.StartObject();
    w.Key("place");
    w.Double(status.rollout_place);
    w.Key("share");
    w.Double(status.rollout_share);
    w.EndObject();
  }
  w.Key("confirmed");
  if (status.confirmed_crc.empty()) {
    w.Null();
  } else {
    w.StartObject();
    w.Key("crc");
    String(w, status.confirmed_crc);
    w.Key("time");
    Time(w, status.confirmed_at);
    w.EndObject();
  }
  w.Key("last_rollback");
  if (status.last_rollback.crc.empty()) {
    w.Null();
  } else {
    w.StartObject();
    w.Key("crc");
    String(w, status.last_rollback.crc);
    w.Key("time");
    Time(w, status.last_rollback.time);
    w.Key("why");
    String(w, status.last_rollback.why);
    w.EndObject();
  }
  w.Key("rejected");
  if (status.last_rollback.crc.empty()) {
    w.Null();
  } else {
    String(w, status.last_rollback.crc);
  }
  w.EndObject();
  w.Key("programs");
  w.StartArray();
  for (const PRO_INFO& info : status.programs) Program(w, info);
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string StatusMetrics(const SUPERVISOR_STATUS& status) {
  Exposition m;
  SupervisorFamilies(m, status);
  ProgramFamilies(m, status.programs);
  UpdateFamilies(m, status);
  return m.text();
}
