#pragma once

// The records the two panes show: one per listed file or folder, either of
// the composition of a new image or of the opened image. Children keep the
// order in which they were appended (the chain order); a parent owns its
// children. Names, paths and type names are strings of any length.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarvelin {
struct DirNode;
}

namespace tarvelin::shell {

inline constexpr std::uint32_t kDirectoryAttribute = 16;

struct EntryRecord {
    std::uint32_t isFolder = 0;
    // Only the directory bit (16) is looked at.
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::string name;
    // The full path on disk for entries from disk, the name for entries of
    // an image.
    std::string path;
    // Text of the "Type" column; empty for entries of an image.
    std::string typeName;
    std::vector<std::unique_ptr<EntryRecord>> children;
    // A composition's entry found below a folder the user added (rather
    // than added, or made, by the user).
    bool scanned = false;

    EntryRecord* Append(std::unique_ptr<EntryRecord> child);
    // Unlinks the child and frees it with everything below it; false when
    // it is not a child of this record.
    bool Remove(const EntryRecord* child);
};

// The image node each record of the opened image stands for, keyed by the
// record's identity. A binding lives exactly as long as its record.
using RecordNodeMap = std::map<const EntryRecord*, DirNode*>;

// A size as a person reads it: "512 bytes", "1.4 KB", "1.4 MB", "2.0 GB".
std::string SizeText(std::uint64_t bytes);

// Removes the bindings of the record and of everything below it.
void UnbindRecordTree(RecordNodeMap& map, const EntryRecord& record);

// The record whose children hold `record`, searched depth first from root;
// null when there is none.
EntryRecord* FindParentRecord(EntryRecord& root, const EntryRecord* record);

} // namespace tarvelin::shell
