// Linux resources: the pictures are compiled into the program as byte arrays (see
// cmake/EmbedBinary.cmake) and found in a table by type and id. A table lookup cannot fail to
// load or lock, so only Found and NotFound occur here.
#include <cstring>

#include "platform/linux/linux_backend.h"
#include "platform/platform.h"

extern "C" {
extern const unsigned char BackgroundPng[];
extern const size_t BackgroundPngSize;
extern const unsigned char BarTrackPng[];
extern const size_t BarTrackPngSize;
extern const unsigned char BarFillPng[];
extern const size_t BarFillPngSize;
}

namespace {

const LinuxResource CarriedResources[] = {
    {"PNG", 131, BackgroundPng, BackgroundPngSize},
    {"PNG", 133, BarTrackPng, BarTrackPngSize},
    {"PNG", 135, BarFillPng, BarFillPngSize},
    {nullptr, 0, nullptr, 0},
};

const LinuxResource* ResourceTable = CarriedResources;

} // namespace

void LinuxUseResourceTable(const LinuxResource* table) {
    ResourceTable = table != nullptr ? table : CarriedResources;
}

ResourceStatus PlatformFindResource(const char* type, int id, const unsigned char** bytes,
                                    size_t* size) {
    for (const LinuxResource* entry = ResourceTable; entry->type != nullptr; ++entry) {
        if (entry->id == id && std::strcmp(entry->type, type) == 0) {
            *bytes = entry->bytes;
            *size = entry->size;
            return ResourceStatus::Found;
        }
    }
    return ResourceStatus::NotFound;
}
