// The fake's folder search: the entries of the pattern's folder that match its last
// component, in the order they were created, after "." and ".." for a folder that is no root.
#include <string>
#include <vector>

#include "tests/fake/FakeWorld.h"

namespace platform {

namespace {

using fake::detail::BeginCall;
using fake::detail::Node;
using fake::detail::RecordMisuse;
using fake::detail::ResolvedPath;
using fake::detail::TheWorld;

std::string SearchText(SearchHandle search) { return "s=" + std::to_string(search.value); }

std::vector<FoundEntry> MatchingEntries(const ResolvedPath& folderPath, const Node& folder,
                                        const std::string& pattern) {
  std::vector<FoundEntry> entries;
  if (!folderPath.parts.empty()) {
    for (const char* dots : {".", ".."}) {
      if (fake::detail::MatchesWildcard(dots, pattern)) entries.push_back(FoundEntry{dots, true});
    }
  }
  for (std::size_t child : folder.children) {
    const Node& node = TheWorld().nodes[child];
    if (fake::detail::MatchesWildcard(node.name, pattern)) {
      entries.push_back(FoundEntry{node.name, node.isFolder});
    }
  }
  return entries;
}

std::vector<FoundEntry> EntriesForPattern(const std::string& pattern) {
  std::string folderPart;
  std::string name;
  fake::detail::SplitPattern(pattern, folderPart, name);
  ResolvedPath folderPath;
  if (name.empty() || !fake::detail::Resolve(folderPart.empty() ? "." : folderPart, folderPath)) {
    return {};
  }
  std::optional<std::size_t> folder = fake::detail::FindNode(folderPath);
  if (!folder || !TheWorld().nodes[*folder].isFolder) return {};
  return MatchingEntries(folderPath, TheWorld().nodes[*folder], name);
}

}  // namespace

SearchHandle FindFirstEntry(const std::string& pattern, FoundEntry& entry) {
  if (BeginCall("FindFirstEntry", pattern).Fails()) return SearchHandle{};
  std::vector<FoundEntry> entries = EntriesForPattern(pattern);
  if (entries.empty()) return SearchHandle{};
  entry = entries.front();
  auto& world = TheWorld();
  const std::intptr_t search = world.nextSearch++;
  world.searches[search] = fake::detail::Search{std::move(entries), 1};
  return SearchHandle{search};
}

bool FindNextEntry(SearchHandle search, FoundEntry& entry) {
  if (BeginCall("FindNextEntry", SearchText(search), search.value).Fails()) return false;
  auto& searches = TheWorld().searches;
  auto found = searches.find(search.value);
  if (found == searches.end()) {
    if (search.IsValid()) RecordMisuse("FindNextEntry " + SearchText(search) + ": search not open");
    return false;
  }
  fake::detail::Search& open = found->second;
  if (open.next >= open.entries.size()) return false;
  entry = open.entries[open.next++];
  return true;
}

void FindEnd(SearchHandle search) {
  BeginCall("FindEnd", SearchText(search), search.value);
  auto& world = TheWorld();
  if (world.searches.erase(search.value) > 0) {
    world.closedSearches.insert(search.value);
  } else if (!search.IsValid()) {
    RecordMisuse("FindEnd " + SearchText(search) + ": invalid search");
  } else if (world.closedSearches.count(search.value) > 0) {
    RecordMisuse("FindEnd " + SearchText(search) + ": already ended");
  } else {
    RecordMisuse("FindEnd " + SearchText(search) + ": unknown search");
  }
}

}  // namespace platform
