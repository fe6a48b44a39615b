#pragma once

// The folder chooser's own texts, in UTF-8; shown through QString::fromUtf8.
namespace FolderText {

inline constexpr const char kRoot[] = "マイコンピュータ";
inline constexpr const char kDesktop[] = "デスクトップ";

inline constexpr const char kMenuNew[] = "新規作成";
inline constexpr const char kMenuDelete[] = "削除";
inline constexpr const char kMenuHidden[] = "隠しファイル";
inline constexpr const char kMenuShowHidden[] = "隠しフォルダを表示";
inline constexpr const char kMenuHideHidden[] = "隠しフォルダを隠す";
inline constexpr const char kMenuRefresh[] = "更新";

// A new folder's name: this text followed by a number from 1 to 99, right-aligned in two
// columns ("新しいフォルダ 1" ... "新しいフォルダ99").
inline constexpr const char kNewFolder[] = "新しいフォルダ";

// Follows the path of a folder that could not be listed.
inline constexpr const char kCannotAccess[] = "\r\nにアクセスできませんでした。";
inline constexpr const char kDeleteQuestion[] = "選択されているフォルダを削除しますか？";

inline constexpr const char kCaptionConfirm[] = "確認";
inline constexpr const char kCaptionError[] = "エラー";

} // namespace FolderText
