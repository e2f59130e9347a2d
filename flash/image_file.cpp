#include "flash/image_file.h"

bool OpenImageFile(std::ifstream& stream, const WCHAR* name) {
    const std::ios::openmode mode = std::ios::in | std::ios::binary | std::ios::ate;
#ifdef _WIN32
    stream.open(name, mode);
#else
    HostOpenFile(stream, name, mode);  // the host library opens narrow names only
#endif
    return stream.is_open();
}
