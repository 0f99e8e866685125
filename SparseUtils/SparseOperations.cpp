#include "SparseUtils/SparseOperations.h"

#include "platform/Platform.h"

bool SparseCopyFile(const std::string& source, const std::string& dest, bool overwrite) {
  return SparseCopyFileWith<TSourceStream, TSparseFile>(source, dest, overwrite);
}

bool CreateSparseFile(const std::string& fileName, std::int64_t size) {
  if (FolderExists(fileName)) return false;
  const bool existedBefore = FileExists(fileName);
  TSparseFile writer(fileName);
  const bool opened = writer.IsOpen();
  const bool sized = opened && writer.SetSize(size);
  const bool whole = writer.Close();
  if (opened && !whole && !existedBefore) platform::RemoveFile(fileName);
  return sized && whole;
}
