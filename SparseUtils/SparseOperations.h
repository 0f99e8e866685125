// The two file operations the commands run: a sparse copy of one file, and the creation of
// an all-zero sparse file of a given size.
#pragma once

#include <cstdint>
#include <string>

#include "SparseUtils/CopyWatch.h"
#include "SparseUtils/SparseFile.h"
#include "platform/Platform.h"

// Copies `source` into a sparse `dest`, made new, or the file `overwrite` names. False when
// nothing was copied: the source is not an existing file, `dest` exists and `overwrite` is
// none, or `dest` cannot be opened (the name was taken, or led to another file, meanwhile).
// Raises EFOpenError when the source cannot be opened (before `dest` is looked at),
// EReadError when it cannot be read, EWriteError when the copy cannot be written whole; the
// copy then keeps the bytes before the first failure, and its length ends there. The copy is
// reported to `watch` while it runs; interrupted there, it never returns.
bool SparseCopyFile(const std::string& source, const std::string& dest,
                    const TReplaceable& overwrite, TCopyWatch& watch);

// Creates `fileName` as an all-zero sparse file of `size` bytes, made new, or in place of the
// file `overwrite` names. False when the size is not positive (nothing is touched then), the
// name is a folder, the file cannot be opened, or it cannot be given that length (a file made
// new is then removed again).
bool CreateSparseFile(const std::string& fileName, std::int64_t size,
                      const TReplaceable& overwrite);

// Raises the EFOpenError of a file that cannot be opened: `shownPath` names it, and the
// system's text for `error` says why. The copy's source raises it, as does a path the copy
// command cannot resolve.
[[noreturn]] void RaiseOpenError(const std::string& shownPath, const platform::TError& error);
