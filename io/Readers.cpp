#include "io/Readers.h"

#include <mutex>

namespace qz::io {

void registerScanReaders() {
    static std::once_flag once;
    std::call_once(once, [] {
        // By name first; the DICOM reader also looks inside files, so it comes last.
        registerVolumeReader(makeNiftiReader());
        registerVolumeReader(makeNrrdReader());
        registerVolumeReader(makeMetaImageReader());
        registerVolumeReader(makeDicomReader());
    });
}

}  // namespace qz::io
