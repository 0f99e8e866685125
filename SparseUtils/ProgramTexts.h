// Every text the program writes of its own, in one table, in UTF-8 as every text inside the
// program. Where it leaves as bytes on Windows, it becomes code page 932 (platform::ToStreamBytes).
#pragma once

#include <string_view>

namespace texts {

// Usage screen.
constexpr std::string_view kUsageTitle = "Dravik.exe";
constexpr std::string_view kUsageCopyForm = " コピー元ファイル コピー先フォルダ|コピー先ファイル";
constexpr std::string_view kUsageCreateForm = " /C 作成ファイル 作成バイト数[K]|[M]|[G]|[T]";
constexpr std::string_view kUsageAuthor = "by vellamor";
constexpr std::string_view kUsagePressEnter = "Enter キーを押して下さい";

// Overwrite questions.
constexpr std::string_view kAskOverwriteYesNo = " を上書きしますか？(Yes/No)";
constexpr std::string_view kAskOverwriteYesNoAll = " を上書きしますか？(Yes/No/All)";

// Create command.
constexpr std::string_view kCreateNotNtfs = "作成先ドライブがNTFSではありません.";
constexpr std::string_view kCreatedSizeOpen = " (";
constexpr std::string_view kCreatedSizeClose = " bytes) ファイルを作成しました。";
constexpr std::string_view kNotCreated = " ファイルが作成されませんでした。";

// Copy command.
constexpr std::string_view kCopyNotNtfs = "コピー先ドライブがNTFSではありません.";
constexpr std::string_view kCopiedArrow = " > ";
constexpr std::string_view kSkipped = " ... skip";
constexpr std::string_view kSamePath = " == ";
constexpr std::string_view kCountIndent = "         ";
constexpr std::string_view kCountSuffix = " 個のファイルをコピーしました。";

// Progress in the title: "... 残り 1:40 ...", the time left.
constexpr std::string_view kProgressLeft = "残り";

// Failure report and error messages.
constexpr std::string_view kReportLine1 = "%s がモジュール %s の %p で発生しました。";
constexpr std::string_view kOutOfMemory = "メモリが足りません";
constexpr std::string_view kOpenFailed = "ファイル %s は開けません。 %s ";
constexpr std::string_view kReadFailed = "ファイル %s を読み込めません。 %s ";
constexpr std::string_view kWriteFailed = "ファイル %s に書き込めません。 %s ";
constexpr std::string_view kInOutFileNotFound = "ファイルが見つかりません";
constexpr std::string_view kInOutBadFileName = "ファイル名の指定が間違っています";
constexpr std::string_view kInOutTooManyOpen = "オープンしたファイルが多すぎます";
constexpr std::string_view kInOutAccessDenied = "ファイルへのアクセスが拒否されました";
constexpr std::string_view kInOutReadPastEnd = "ファイルの末尾以降を読み込みました";
constexpr std::string_view kInOutDiskFull = "ディスクがいっぱいです";
constexpr std::string_view kInOutNotNumeric = "入力値が数値ではありません";
constexpr std::string_view kInOutOther = "I/O エラー (%d)";

}  // namespace texts
