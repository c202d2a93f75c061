#pragma once

// Checks one answer of the file transfer helper against the wire rules. Shared by the end-to-end
// tests and the fuzz target; returns an empty string when the answer is sound.
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

namespace halvorine::file_transfer::checks {

inline std::string responseProblem(const std::string& out) {
  if (out.empty()) return "no answer";
  if (out.back() != '\n') return "answer does not end with a line feed";
  if (out.find('\n') != out.size() - 1) return "more than one line";
  const auto j = nlohmann::json::parse(out.begin(), out.end() - 1, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return "not a JSON object";
  static const std::set<std::string> keys = {
      "ok",        "operation",    "outcome",         "quarantinePresent",   "cleanupDeferred",
      "errorCode", "pathRecorded", "payloadRecorded", "commandLinePathUsed", "rootAuthorityUsed"};
  static const std::set<std::string> operations = {"move_no_replace", "replace_atomically",
                                                   "apply_quarantine", "read_quarantine"};
  static const std::set<std::string> outcomes = {"moved", "replaced", "quarantined", "inspected"};
  static const std::set<std::string> codes = {"invalid_request",
                                              "root_denied",
                                              "path_invalid",
                                              "source_invalid",
                                              "destination_invalid",
                                              "ownership_denied",
                                              "hard_link_denied",
                                              "destination_exists",
                                              "disk_full",
                                              "permission_denied",
                                              "atomic_operation_failed",
                                              "quarantine_failed",
                                              "helper_failed"};
  for (const auto& [key, value] : j.items()) {
    if (!keys.count(key)) return "unexpected key " + key;
  }
  for (const char* key : {"ok", "cleanupDeferred", "pathRecorded", "payloadRecorded",
                          "commandLinePathUsed", "rootAuthorityUsed"}) {
    if (!j.contains(key) || !j[key].is_boolean()) return std::string("missing boolean ") + key;
  }
  for (const char* key :
       {"pathRecorded", "payloadRecorded", "commandLinePathUsed", "rootAuthorityUsed"}) {
    if (j[key].get<bool>()) return std::string(key) + " is true";
  }
  if (!j.contains("operation") || !j["operation"].is_string()) return "missing operation";
  const std::string op = j["operation"];
  const bool ok = j["ok"];
  if (ok) {
    if (j.contains("errorCode")) return "success with an error code";
    if (!operations.count(op)) return "success with operation " + op;
    if (!j.contains("outcome") || !j["outcome"].is_string() || !outcomes.count(j["outcome"])) {
      return "success without a known outcome";
    }
    const std::string outcome = j["outcome"];
    const bool marks = op == "apply_quarantine" || op == "read_quarantine";
    static const std::map<std::string, std::string> outcomeOf = {
        {"move_no_replace", "moved"},
        {"replace_atomically", "replaced"},
        {"apply_quarantine", "quarantined"},
        {"read_quarantine", "inspected"}};
    if (outcomeOf.at(op) != outcome) return "outcome does not fit the operation";
    if (marks != j.contains("quarantinePresent")) return "quarantinePresent misplaced";
    if (marks && !j["quarantinePresent"].is_boolean()) return "quarantinePresent not boolean";
    if (op == "apply_quarantine" && !j["quarantinePresent"].get<bool>()) {
      return "applied but not present";
    }
    if (op != "replace_atomically" && j["cleanupDeferred"].get<bool>()) {
      return "cleanupDeferred outside a replace";
    }
  } else {
    if (op != "unknown") return "failure with operation " + op;
    if (!j.contains("errorCode") || !j["errorCode"].is_string() || !codes.count(j["errorCode"])) {
      return "failure without a known error code";
    }
    if (j.contains("outcome") || j.contains("quarantinePresent")) return "failure with a result";
    if (j["cleanupDeferred"].get<bool>()) return "failure with cleanupDeferred";
  }
  return "";
}

// The first piece (4 bytes or longer) of a request value that shows up in the answer, or "".
inline std::string leakedPiece(const std::string& answer, const std::vector<std::string>& values) {
  for (const auto& v : values) {
    for (std::size_t i = 0; i + 4 <= v.size(); ++i) {
      const std::string piece = v.substr(i, 4);
      if (answer.find(piece) != std::string::npos) return piece;
    }
  }
  return "";
}

}  // namespace halvorine::file_transfer::checks
