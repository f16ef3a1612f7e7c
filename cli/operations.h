#pragma once

// The work of the reading commands, apart from their argument handling, so
// that the tests can run it in-process on thousands of damaged images.

#include "image_session.h"
#include "udf_session.h"
#include "edit/iso_extract.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvelin::cli {

struct ListOptions {
    bool recursive = false;   // every entry below, as paths relative to the listed folder
    bool longFormat = false;  // size, local date and extent before each name
};

// Lists the children of a folder (the entry itself for a file), one per line;
// folders end in '/'. False when writing to out failed.
bool ListEntries(ImageSession& session, DirNode* node, const ListOptions& options, std::FILE* out);

// The same over the UDF tree of an image, from node `node` (0: the root).
bool ListUdfEntries(UdfSession& session, std::int32_t node, const ListOptions& options, std::FILE* out);

struct ExtractOptions {
    bool showProgress = false;
    // Receives each failure, worded for the user; PrintError when empty.
    std::function<void(std::string_view)> report;
};

using tarvelin::ExtractTotals;

// Extracts each node into destination (created with its parents when
// missing): a file as destination/name, a folder as destination/name with
// everything below it, the root as the destination itself. Keeps the dates
// of files and folders. A failure is reported and leaves no file behind; the
// other entries are extracted all the same.
ExtractTotals ExtractEntries(ImageSession& session, const std::vector<DirNode*>& nodes, const std::string& destination,
                             const ExtractOptions& options);
// The same from the UDF tree (nodes are indices into its volume's nodes).
ExtractTotals ExtractUdfEntries(UdfSession& session, const std::vector<std::int32_t>& nodes,
                                const std::string& destination, const ExtractOptions& options);

} // namespace tarvelin::cli
