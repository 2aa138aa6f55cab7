// How the benchmark judges the engine's replies: what kind of call a reply was, whether a
// dart was scored once with its true field, and the tallies and percentiles of a set.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv::bench {

using json = nlohmann::json;

enum class CallKind {
  kArm,        // the arm request itself
  kError,      // a reply with "error"
  kDeciding,   // the call whose reply brought a new entry
  kUnchanged,  // "unchanged" true, or "READY" without a new entry
  kOther,      // anything else: settling, waiting, unresolved
};
constexpr std::array<CallKind, 5> kCallKinds{CallKind::kArm, CallKind::kError, CallKind::kDeciding,
                                            CallKind::kUnchanged, CallKind::kOther};
const char* callKindName(CallKind kind);

// A detect reply's kind, given the entry counts before and after it.
CallKind classifyCall(const json& reply, size_t entriesBefore, size_t entriesAfter);

struct DartJudgement {
  size_t new_entries = 0;
  std::string true_field;
  std::string scored_field;                // of the first new entry
  std::optional<cv::Point2d> scored_tip;   // of the first new entry
  std::optional<double> tip_error_mm;      // only with exactly one new entry
  bool correct = false;                    // exactly one new entry, with the true field
  bool unresolved = false;                 // no entry, and the engine said it could not decide
};

// Judges one dart from the round's entries after its scene state was sent, and the number
// of entries before it.
DartJudgement judgeDart(const json& entries, size_t entriesBefore, const scene::DartTruth& truth);

// Whether a reply leaves a dart to the player: its position could not be decided.
bool isUnresolvedReply(const json& reply);

// The decision path a deciding reply names ("(none)" without one), and whether an entry's
// "method" is one the tip solver names.
std::string decisionPath(const json& reply);
bool isSolverMethod(const json& method);

struct SetTally {
  int darts = 0;
  int correct = 0;
  int missed = 0;       // darts without a new entry (unresolved ones not counted)
  int unresolved = 0;   // darts without a new entry that the engine left undecided
  int extra = 0;        // entries beyond one per dart, and entries on unchanged frames
  int wrong_field = 0;  // one new entry with another field
  int error_replies = 0;
  int fallen = 0;          // throws that fell out: they must score nothing
  int fallen_scored = 0;   // fallen throws that scored a field
  int rounds = 0;
  int rounds_waiting = 0;  // rounds whose last reply still waits
  std::vector<double> tip_errors_mm;
  std::map<std::string, int> error_codes;
  std::map<CallKind, std::vector<double>> call_ms;
  std::map<std::string, int> paths;  // deciding replies per decision path
  int foreign_methods = 0;            // entries whose "method" the tip solver does not name

  void addDart(const DartJudgement& judgement);
  void addFallenDart(const DartJudgement& judgement);
  // A dart judged correct lost its field later in the round.
  void loseLater() {
    --correct;
    ++wrong_field;
  }
  void addEntriesOnUnchangedFrames(size_t count) { extra += static_cast<int>(count); }
  void addCall(CallKind kind, double milliseconds, const json& reply);
  void merge(const SetTally& other);
  double correctPercent() const;
};

// Nearest-rank quantile (q in 0..1) of the values; NaN when there are none.
double quantile(std::vector<double> values, double q);
inline double median(const std::vector<double>& values) { return quantile(values, 0.5); }
// Arithmetic mean of the values; NaN when there are none.
double mean(const std::vector<double>& values);

}  // namespace tarv::bench
