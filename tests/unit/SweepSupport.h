// What the fault sweep needs besides its scenarios: the files of the fake machine, the calls
// of a run that can fail, the claims a run's output makes, and the form of a failure report.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/fake/FakePlatform.h"

namespace sweep {

inline bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

inline bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ---- Files ---------------------------------------------------------------------------------

using Files = std::map<std::string, std::string>;  // path, content

inline void CollectFiles(const std::string& folder, Files& files) {
  const std::string prefix = EndsWith(folder, "\\") ? folder : folder + "\\";
  for (const std::string& name : fake::EntriesOf(folder)) {
    const std::string path = prefix + name;
    if (fake::IsFolder(path)) {
      CollectFiles(path, files);
    } else {
      files[path] = fake::FileBytes(path);
    }
  }
}

// Every file on drive C: with its content.
inline Files AllFiles() {
  Files files;
  CollectFiles("C:\\", files);
  return files;
}

// The file holds exactly `expected`: its length and every byte.
inline ::testing::AssertionResult Holds(const std::string& path, const std::string& expected) {
  if (!fake::IsFile(path)) return ::testing::AssertionFailure() << path << " does not exist";
  if (fake::FileLength(path) != static_cast<std::int64_t>(expected.size())) {
    return ::testing::AssertionFailure() << path << " is " << fake::FileLength(path)
                                         << " bytes long instead of " << expected.size();
  }
  if (fake::FileBytes(path) != expected) {
    return ::testing::AssertionFailure() << path << " does not hold what it should";
  }
  return ::testing::AssertionSuccess();
}

// ---- Calls -----------------------------------------------------------------------------------

// A call of a run that can fail, numbered as each kind of failure rule counts calls.
struct FailableCall {
  std::int64_t ordinal = 0;  // among all calls that can fail (FailAnyCall)
  std::int64_t ofKind = 0;   // among the calls of its kind (a rule naming the kind)
  fake::Call call;
};

inline std::vector<FailableCall> FailableCalls(const std::vector<fake::Call>& calls) {
  std::vector<FailableCall> failable;
  std::map<std::string, std::int64_t> perKind;
  for (const fake::Call& call : calls) {
    if (!fake::CanFail(call.kind)) continue;
    const auto ordinal = static_cast<std::int64_t>(failable.size()) + 1;
    failable.push_back(FailableCall{ordinal, ++perKind[call.kind], call});
  }
  return failable;
}

// The bytes a read or write asked for; 0 for other calls.
inline std::uint32_t BytesAsked(const fake::Call& call) {
  const std::size_t at = call.text.rfind(" n=");
  const bool transfer = call.kind.find("Read") == 0 || call.kind.find("Write") == 0;
  if (!transfer || at == std::string::npos) return 0;
  return static_cast<std::uint32_t>(std::stoul(call.text.substr(at + 3)));
}

// ---- Output ----------------------------------------------------------------------------------

// What a run's standard output says it did.
struct Output {
  std::vector<std::pair<std::string, std::string>> copied;  // source, destination
  std::vector<std::pair<std::string, std::int64_t>> created;
  std::set<std::string> declined;  // names of the files skipped or not created
  std::optional<std::string> count;

  bool Claims(const std::string& path) const {
    for (const auto& copy : copied) {
      if (copy.second == path) return true;
    }
    for (const auto& file : created) {
      if (file.first == path) return true;
    }
    return false;
  }
};

inline std::string NameOf(const std::string& path) { return path.substr(path.rfind('\\') + 1); }

// The line without the overwrite questions written before it on the same line.
inline std::string WithoutQuestions(std::string line) {
  for (bool found = true; found;) {
    found = false;
    for (const std::string ask :
         {" を上書きしますか？(Yes/No)", " を上書きしますか？(Yes/No/All)"}) {
      const std::size_t at = line.find(ask);
      if (at == std::string::npos) continue;
      line.erase(0, at + ask.size());
      found = true;
    }
  }
  return line;
}

// The usage screen, an empty line, the volume messages.
inline bool IsPlainProgramLine(const std::string& line) {
  static const std::set<std::string> fixed = {"",
                                              "Dravik.exe",
                                              "by vellamor",
                                              "Enter キーを押して下さい",
                                              "コピー先ドライブがNTFSではありません.",
                                              "作成先ドライブがNTFSではありません."};
  return fixed.count(line) > 0 ||
         (StartsWith(line, " ") &&
          (EndsWith(line, " コピー元ファイル コピー先フォルダ|コピー先ファイル") ||
           EndsWith(line, " /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]")));
}

inline void ParseLine(const std::string& line, Output& output) {
  const std::string skip = " ... skip", notCreated = " ファイルが作成されませんでした。";
  const std::string created = " bytes) ファイルを作成しました。";
  const std::string count = " 個のファイルをコピーしました。";
  const std::size_t arrow = line.find(" > "), open = line.rfind(" (");
  if (EndsWith(line, skip)) {
    output.declined.insert(NameOf(line.substr(0, line.size() - skip.size())));
  } else if (EndsWith(line, notCreated)) {
    output.declined.insert(NameOf(line.substr(0, line.size() - notCreated.size())));
  } else if (EndsWith(line, created) && open != std::string::npos) {
    std::string digits = line.substr(open + 2, line.size() - created.size() - open - 2);
    digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
    ASSERT_TRUE(!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
        << line;
    output.created.emplace_back(line.substr(0, open), std::stoll(digits));
  } else if (StartsWith(line, "         ") && EndsWith(line, count)) {
    output.count = line.substr(9, line.size() - 9 - count.size());
  } else if (arrow != std::string::npos) {
    output.copied.emplace_back(line.substr(0, arrow), line.substr(arrow + 3));
  } else if (!IsPlainProgramLine(line)) {
    ADD_FAILURE() << "a line the program does not print: " << line;
  }
}

// The lines of the output; with `complete`, nothing may follow the last line end.
inline Output ParseOutput(const std::string& out, bool complete) {
  Output output;
  std::size_t start = 0;
  for (std::size_t end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
    ParseLine(WithoutQuestions(out.substr(start, end - start)), output);
  }
  if (complete) {
    EXPECT_EQ(out.substr(start), "") << "the output ends inside a line";
  }
  return output;
}

// ---- Report ----------------------------------------------------------------------------------

// "<Class> がモジュール <name> の <8 upper-case hex digits> で発生しました。" LF "<message>",
// the class one of the program's errors and the message empty or ending with ".".
inline ::testing::AssertionResult WellFormedReport(const std::string& report) {
  static const std::set<std::string> classes = {"EFOpenError", "EReadError", "EWriteError",
                                                "EInOutError", "EOutOfMemory"};
  const std::string module = " がモジュール ", at = " の ", tail = " で発生しました。";
  const std::size_t lineEnd = report.find('\n');
  const std::string line1 = report.substr(0, lineEnd);
  const std::string message = report.substr(lineEnd == std::string::npos ? 0 : lineEnd + 1);
  const std::size_t moduleAt = line1.find(module);
  const std::size_t addressAt = line1.size() - tail.size() - 8;
  const bool formed =
      lineEnd != std::string::npos && moduleAt != std::string::npos &&
      classes.count(line1.substr(0, moduleAt)) > 0 && EndsWith(line1, tail) &&
      line1.size() >= moduleAt + module.size() + at.size() + 8 + tail.size() &&
      line1.compare(addressAt - at.size(), at.size(), at) == 0 &&
      line1.substr(addressAt, 8).find_first_not_of("0123456789ABCDEF") == std::string::npos &&
      message.find_first_of("\r\n") == std::string::npos &&
      (message.empty() || EndsWith(message, "."));
  if (formed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "malformed report: " << report;
}

}  // namespace sweep
