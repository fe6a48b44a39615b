#pragma once

// The main window's and the device chooser's own texts, in UTF-8; shown through
// QString::fromUtf8. Log lines and the message that the capture worker shows come from the
// worker.
namespace AppText {

// The caption of every box of the window that has no caption of its own.
inline constexpr const char kCaptionApp[] = "Marlinox";
inline constexpr const char kCaptionError[] = "エラー";
inline constexpr const char kCaptionConfirm[] = "確認";

inline constexpr const char kSpecifyBoth[] = "デバイス・フォルダを指定してください。";
// Follow the folder path as typed.
inline constexpr const char kWillCreate[] = "\r\nは存在しないので作成します。";
inline constexpr const char kNotFolder[] = "\r\nはフォルダではありません。";
inline constexpr const char kConfirmOverwrite[] =
    "このプログラムはファイルの上書き確認をしません。\r\nよろしいですか？\r\n"
    "(生成されるファイル：log.txt,px.pd)";

// Followed by the output folder, which ends with '/'.
inline constexpr const char kTitleStarted[] = "キャプチャ開始 : ";
inline constexpr const char kTitleStopping[] = "終了処理中";
inline constexpr const char kTitleFinished[] = "キャプチャ終了";

inline constexpr const char kColumnName[] = "デバイス名";
inline constexpr const char kColumnDetail[] = "詳細";

} // namespace AppText
