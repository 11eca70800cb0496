#include "data/VolumeReader.h"

#include <mutex>

namespace qz {

namespace {

std::mutex registryMutex;

std::vector<std::unique_ptr<VolumeReader>>& registry() {
    static auto* readers = new std::vector<std::unique_ptr<VolumeReader>>();  // never destroyed
    return *readers;
}

}  // namespace

void registerVolumeReader(std::unique_ptr<VolumeReader> reader) {
    std::lock_guard lock(registryMutex);
    registry().push_back(std::move(reader));
}

const VolumeReader* volumeReaderFor(const std::string& path) {
    std::lock_guard lock(registryMutex);
    for (const auto& reader : registry()) {
        if (reader->canRead(path))
            return reader.get();
    }
    return nullptr;
}

}  // namespace qz
