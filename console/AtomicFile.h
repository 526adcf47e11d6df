// Whole-file reads and crash-safe replacement of small files.
#pragma once

#include <functional>
#include <string>
#include <string_view>

enum class ReadResult { Read, Missing, Failed };

// Reads the whole file into content. Missing: nothing exists at path.
ReadResult ReadWholeFile(const std::string& path, std::string& content);

// Replaces the file at path with content so that a crash or power cut at any
// moment leaves either the old file or the new one: the content goes to a
// temporary file beside it, reaches the disk, and is renamed over the old one.
// A symbolic link is followed, and an existing file keeps its permissions.
// Returns false (with the reason in error) and leaves the old file untouched
// on any failure.
bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error);

// Test seam: called with the temporary file's path once its content is on
// disk, right before the rename.
void SetBeforeRenameHook(std::function<void(const std::string& tempPath)> hook);
