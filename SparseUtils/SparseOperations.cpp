#include "SparseUtils/SparseOperations.h"

#include "platform/Platform.h"

bool SparseCopyFile(const std::string& source, const std::string& dest, bool overwrite) {
  return SparseCopyFileWith<TSourceStream, TSparseFile>(source, dest, overwrite);
}

bool CreateSparseFile(const std::string& fileName, std::int64_t size) {
  if (FolderExists(fileName)) return false;
  TSparseFile writer(fileName);
  const bool sized = writer.IsOpen() && writer.SetSize(size);
  const bool whole = writer.Close();
  // A file this call made and could not complete goes again; one that was there stays.
  if (!whole && writer.File().Created()) platform::RemoveFile(fileName);
  return sized && whole;
}
