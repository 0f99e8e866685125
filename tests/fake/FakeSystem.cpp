// The fake's process, text, console and path calls.
#include <cstdio>
#include <string>

#include "tests/fake/FakeWorld.h"

namespace platform {

namespace {

using fake::detail::BeginCall;
using fake::detail::ResolvedPath;
using fake::detail::TheWorld;

const char* StreamName(StdStream stream) {
  switch (stream) {
    case StdStream::Input:
      return "Input";
    case StdStream::Output:
      return "Output";
    case StdStream::Error:
      return "Error";
  }
  return "?";
}

std::string HexByte(unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

bool IsStdValue(std::intptr_t value) {
  return value >= fake::kStdinHandle && value <= fake::kStderrHandle;
}

FileType TypeOfStd(std::intptr_t value) {
  const fake::detail::StdChannel& channel =
      TheWorld().channels[static_cast<std::size_t>(value - fake::kStdinHandle)];
  if (channel.closed) {
    fake::detail::RecordMisuse("TypeOfFile h=" + std::to_string(value) + ": handle closed");
    return FileType::Unknown;
  }
  return channel.type;
}

}  // namespace

// ---- Process ----

void Startup(int argc, char** argv) {
  BeginCall("Startup", "argc=" + std::to_string(argc));
  auto& world = TheWorld();
  ++world.startupCount;
  world.startupArguments.assign(argv, argv + argc);
}

void EndProcess(int exitCode) {
  BeginCall("EndProcess", "code=" + std::to_string(exitCode));
  TheWorld().exitCode = exitCode;
  throw fake::ProcessEnded{exitCode};
}

void InstallFaultHandler(FaultCallback callback) {
  BeginCall("InstallFaultHandler", "");
  TheWorld().faultHandler = callback;
}

// ---- Command line and program file ----

CommandLineSource ProcessCommandLine() {
  BeginCall("ProcessCommandLine", "");
  return TheWorld().commandLine;
}

std::string ProgramPath() {
  if (BeginCall("ProgramPath", "").Fails()) return "";
  return TheWorld().programPath;
}

bool ModuleOfAddress(std::uintptr_t /*address*/, std::string& path, std::uintptr_t& base) {
  if (BeginCall("ModuleOfAddress", "").Fails()) return false;
  const auto& world = TheWorld();
  if (!world.modulePath) return false;
  path = *world.modulePath;
  base = world.moduleBase;
  return true;
}

// ---- Text ----

bool IsLeadByte(unsigned char byte) {
  BeginCall("IsLeadByte", "b=" + HexByte(byte));
  return fake::detail::IsLeadByteNow(byte);
}

std::string ThousandsSeparator() {
  if (BeginCall("ThousandsSeparator", "").Fails()) return "";
  return TheWorld().thousandsSeparator;
}

void ToOemCodePage(std::string& text) {
  BeginCall("ToOemCodePage", "n=" + std::to_string(text.size()));
  if (TheWorld().oemConversion) TheWorld().oemConversion(text);
}

std::string SystemMessage(ErrorCode code) {
  if (BeginCall("SystemMessage", "code=" + std::to_string(code)).Fails()) return "";
  const auto& world = TheWorld();
  auto found = world.systemMessages.find(code);
  if (found != world.systemMessages.end()) return found->second;
  if (!world.defaultSystemMessages) return "";
  return "System error " + std::to_string(code) + ".\r\n";
}

// ---- Console channels ----

FileHandle StdHandle(StdStream stream) {
  if (BeginCall("StdHandle", StreamName(stream)).Fails()) return kInvalidHandle;
  const std::size_t index = static_cast<std::size_t>(stream);
  if (!TheWorld().channels[index].present) return kInvalidHandle;
  return FileHandle{fake::kStdinHandle + static_cast<std::intptr_t>(index)};
}

FileType TypeOfFile(FileHandle handle) {
  const std::string arguments = "h=" + std::to_string(handle.value);
  if (BeginCall("TypeOfFile", arguments, handle.value).Fails()) return FileType::Unknown;
  if (IsStdValue(handle.value)) return TypeOfStd(handle.value);
  if (TheWorld().openFiles.count(handle.value) > 0) return FileType::Disk;
  if (handle.IsValid()) {
    fake::detail::RecordMisuse("TypeOfFile " + arguments + ": handle not open");
  }
  return FileType::Unknown;
}

// ---- Paths, folders and volumes ----

PathStyle NativePathStyle() {
  BeginCall("NativePathStyle", "");
  return TheWorld().style;
}

PathKind KindOfPath(const std::string& path) {
  if (BeginCall("KindOfPath", path).Fails()) return PathKind::None;
  ResolvedPath resolved;
  if (fake::detail::HasWildcards(path) || !fake::detail::Resolve(path, resolved)) {
    return PathKind::None;
  }
  std::optional<std::size_t> index = fake::detail::FindNode(resolved);
  if (!index) return PathKind::None;
  if (TheWorld().nodes[*index].isFolder) return PathKind::Folder;
  return resolved.trailingDelimiter ? PathKind::None : PathKind::File;
}

// An unknown current folder fails as a deleted one does, with code 2.
PathResult CurrentFolder() {
  const fake::detail::Outcome call = BeginCall("CurrentFolder", "");
  if (call.Fails()) return {false, "", call.failure};
  const std::optional<std::string>& folder = TheWorld().currentFolder;
  return folder ? PathResult{true, *folder, kErrorSuccess}
                : PathResult{false, "", kErrorFileNotFound};
}

PathResult FullPathOf(const std::string& path) {
  const fake::detail::Outcome call = BeginCall("FullPathOf", path);
  if (call.Fails()) return {false, "", call.failure};
  ResolvedPath resolved;
  if (!fake::detail::Resolve(path, resolved)) return {false, "", kErrorFileNotFound};
  return {true, fake::detail::Join(resolved, true), kErrorSuccess};
}

bool FileSystemNameOf(const std::string& root, std::string& name) {
  if (BeginCall("FileSystemNameOf", root).Fails()) return false;
  const fake::detail::Volume* volume = nullptr;
  if (TheWorld().style == PathStyle::Windows) {
    for (const fake::detail::Volume& candidate : TheWorld().volumes) {
      if (fake::detail::SameText(candidate.root, root)) volume = &candidate;
    }
  } else {
    ResolvedPath resolved;
    if (fake::detail::Resolve(root, resolved)) {
      volume = fake::detail::VolumeOf(fake::detail::Join(resolved, false));
    }
  }
  if (!volume) return false;
  name = volume->fileSystem;
  return true;
}

}  // namespace platform
