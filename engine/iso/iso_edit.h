#pragma once

// CIsoEdit: the one object through which a program works on an opened
// image: open, list, extract, edit, save in place, manage the boot image.
// It owns its six sub-components: sector access, directory tree,
// descriptors, path tables, file data and directories.

#include "core/byte_buffer.h"
#include "core/component.h"
#include "core/progress.h"
#include "core/registry.h"
#include "iso/dir_entry.h"
#include "iso/iso_dir_edit.h"
#include "platform/time.h"

#include <cstdint>
#include <string>

namespace tarvelin {

// One entry as a program shows it.
struct ItemInfo {
    std::string name;
    std::uint64_t size = 0;
    bool isDirectory = false;
    platform::FileTime date = 0;
};

class IIsoSector;

class IIsoEdit : public CComponent {
public:
    virtual bool Reserved() = 0;
    virtual bool Open(const char* path) = 0;
    // Reads the tree; when even the root cannot be read, the tree stays empty
    // and GetLastError says why.
    virtual void LoadTree() = 0;
    virtual DirNode* GetRoot() = 0;
    virtual DirNode* GetFirstChild(DirNode* node) = 0;
    virtual DirNode* GetNextSibling(DirNode* node) = 0;
    virtual bool DeleteNode(DirNode* parent, DirNode* node) = 0;
    virtual DirNode* AddFile(const char* path, DirNode* parent) = 0;
    virtual DirNode* AddDirectory(const char* path, DirNode* parent) = 0;
    virtual DirNode* AddDirectoryTree(const char* path, DirNode* parent) = 0;
    virtual DirNode* NewDirectory(const char* name, DirNode* parent) = 0;
    virtual bool Rename(const char* name, DirNode* node) = 0;
    virtual bool StartSave(void* context, ProgressFn callback) = 0;
    virtual bool GetItemInfo(DirNode* node, ItemInfo& info) = 0;
    // Reads count bytes of the file's data from byte offset on; false when
    // the range lies outside the file or a sector cannot be read.
    virtual bool ReadFileData(DirNode* node, std::uint64_t offset, void* buffer, std::uint32_t count) = 0;
    virtual bool HasBootImage() = 0;
    virtual void DeleteBootImage() = 0;
    // Appends the image's current boot image to the buffer.
    virtual bool SaveBootImage(CByteBuffer& buffer) = 0;
    virtual bool LoadBootImage(const char* path, DirNode* parent) = 0;
    virtual bool GetItemExtent(DirNode* node, std::uint32_t& extent) = 0;
    virtual bool ReadSector(std::uint32_t sector, void* buffer) = 0;

    // Why the last failing operation failed, worded for the user.
    virtual const char* GetLastError() = 0;
    // The sector access of the opened image (owned by this component).
    virtual IIsoSector* GetSector() = 0;
    // What the last LoadTree met and survived (records skipped, loops refused).
    virtual TreeLoadReport GetLoadReport() = 0;
};

} // namespace tarvelin

TARVELIN_DECLARE_FACTORIES(tarvelin::IIsoEdit, Edit1, Edit2)
