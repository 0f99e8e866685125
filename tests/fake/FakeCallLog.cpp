// The call log and failure injection of the fake.
#include <algorithm>
#include <set>
#include <stdexcept>

#include "tests/fake/FakeWorld.h"

namespace fake {

namespace {

// The kinds whose real call can fail; the others (CloseFile, IsLeadByte, ...) cannot.
const std::set<std::string>& FailableKinds() {
  static const std::set<std::string> kinds = {
      // Files and searches.
      "CreateTruncated", "OpenForReading", "ReadBytes", "WriteBytes", "ReadAt", "WriteAt",
      "MarkSparse", "RemoveFile", "SetLength", "SizeOfFile", "AllocationUnitOf", "NextDataRange",
      "FindFirstEntry", "FindNextEntry",
      // Paths and volumes.
      "KindOfPath", "CurrentFolder", "FullPathOf", "FileSystemNameOf",
      // Process, text and console.
      "StdHandle", "TypeOfFile", "ProgramPath", "ModuleOfAddress", "ThousandsSeparator",
      "SystemMessage"};
  return kinds;
}

bool Matches(const FailureRule& rule, const std::string& kind,
             std::optional<std::intptr_t> handle) {
  if (!rule.kind.empty() && rule.kind != kind) return false;
  return !rule.handle || rule.handle == handle;
}

bool Strikes(const detail::ScheduledFailure& failure) {
  const FailureRule& rule = failure.rule;
  return failure.matchingCalls == rule.nth || (rule.andLater && failure.matchingCalls > rule.nth);
}

// Applies the first striking rule to the call and the outcome.
void Inject(const FailureRule& rule, Call& call, detail::Outcome& outcome) {
  outcome.shortBytes = rule.shortBytes;
  outcome.failure = rule.shortBytes ? 0 : rule.code;
  call.injected = outcome.failure;
  call.shortened = rule.shortBytes.has_value();
  detail::TheWorld().injections.push_back(
      Injection{call.index, call.text, outcome.failure, rule.shortBytes});
}

}  // namespace

namespace detail {

Outcome BeginCall(const std::string& kind, const std::string& arguments,
                  std::optional<std::intptr_t> handle) {
  World& world = TheWorld();
  Call call;
  call.index = ++world.callCount;
  call.kind = kind;
  call.text = arguments.empty() ? kind : kind + " " + arguments;
  Outcome outcome;
  if (CanFail(kind)) {
    ++world.failableCallCount;
    bool decided = false;
    for (ScheduledFailure& failure : world.failures) {
      if (!Matches(failure.rule, kind, handle)) continue;
      ++failure.matchingCalls;
      if (decided || !Strikes(failure)) continue;
      Inject(failure.rule, call, outcome);
      failure.fired = true;
      decided = true;
    }
  }
  world.calls.push_back(call);
  return outcome;
}

void RecordMisuse(const std::string& text) { TheWorld().misuses.push_back(text); }

}  // namespace detail

// ---- Call log ----

const std::vector<Call>& Calls() { return detail::TheWorld().calls; }

std::vector<Call> CallsOf(const std::string& kind) {
  std::vector<Call> found;
  for (const Call& call : Calls()) {
    if (call.kind == kind) found.push_back(call);
  }
  return found;
}

std::vector<std::string> CallTexts(const std::vector<std::string>& kinds) {
  std::vector<std::string> texts;
  for (const Call& call : Calls()) {
    if (kinds.empty() || std::find(kinds.begin(), kinds.end(), call.kind) != kinds.end()) {
      texts.push_back(call.text);
    }
  }
  return texts;
}

std::vector<std::string> KindsCalled() {
  std::vector<std::string> kinds;
  for (const Call& call : Calls()) kinds.push_back(call.kind);
  return kinds;
}

int CountCalls(const std::string& kind) { return static_cast<int>(CallsOf(kind).size()); }
void ClearCalls() { detail::TheWorld().calls.clear(); }
std::int64_t CallCount() { return detail::TheWorld().callCount; }
std::int64_t FailableCallCount() { return detail::TheWorld().failableCallCount; }

// ---- Failure injection ----

bool CanFail(const std::string& kind) { return FailableKinds().count(kind) > 0; }

void Schedule(const FailureRule& rule) {
  if (!rule.kind.empty() && !CanFail(rule.kind)) {
    throw std::logic_error("fake: calls of kind \"" + rule.kind + "\" cannot fail");
  }
  if (rule.nth < 1) throw std::logic_error("fake: failures are counted from 1");
  if (rule.shortBytes && rule.kind.find("Read") != 0 && rule.kind.find("Write") != 0) {
    throw std::logic_error("fake: only reads and writes can transfer short");
  }
  if (!rule.shortBytes && rule.code == 0) {
    throw std::logic_error("fake: a failure needs a code other than 0");
  }
  detail::TheWorld().failures.push_back(detail::ScheduledFailure{rule, 0, false});
}

void FailCall(const std::string& kind, std::int64_t nth, ErrorCode code) {
  Schedule(FailureRule{kind, nth, false, code});
}

void FailCallsFrom(const std::string& kind, std::int64_t nth, ErrorCode code) {
  Schedule(FailureRule{kind, nth, true, code});
}

void ShortenCall(const std::string& kind, std::int64_t nth, std::uint32_t bytes) {
  Schedule(FailureRule{kind, nth, false, 0, bytes});
}

void FailAnyCall(std::int64_t nth, ErrorCode code) { Schedule(FailureRule{"", nth, false, code}); }

void FailStdoutWrite(std::int64_t nth, ErrorCode code, bool andLater) {
  Schedule(FailureRule{"WriteBytes", nth, andLater, code, std::nullopt, kStdoutHandle});
}

std::vector<Injection> Injections() { return detail::TheWorld().injections; }

int UnfiredFailures() {
  const std::vector<detail::ScheduledFailure>& failures = detail::TheWorld().failures;
  return static_cast<int>(std::count_if(failures.begin(), failures.end(),
                                        [](const auto& failure) { return !failure.fired; }));
}

}  // namespace fake
