#include "flash/image_file.h"

#include <cstdio>
#include <cstring>

#include "app/status_display.h"
#include "app/texts.h"

const ImageRegion ImageRegions[3] = {
    {{'1', 'A', '6', '0'}, 0x000000, 0, 10},
    {{'1', 'A', '6', '5'}, 0x0A0000, 10, 6},
    {{'1', 'A', '7', '0'}, 0x100000, 16, 14},
};

static const char OsdImageId[4] = {'1', 'A', '7', '0'};
static const DWORD IdLength = 4;

bool OpenImageFile(std::ifstream& stream, const WCHAR* name) {
    const std::ios::openmode mode = std::ios::in | std::ios::binary | std::ios::ate;
#ifdef _WIN32
    stream.open(name, mode);
#else
    HostOpenFile(stream, name, mode);  // the host library opens narrow names only
#endif
    return stream.is_open();
}

bool IsOsdImage(const ImageRegion& region) {
    return memcmp(region.id, OsdImageId, IdLength) == 0;
}

static const ImageRegion* FindRegion(const char* id) {
    for (const ImageRegion& region : ImageRegions)
        if (memcmp(region.id, id, IdLength) == 0) return &region;
    return nullptr;
}

static BOOL RefuseFile(const WCHAR* format, const WCHAR* fileName, const WCHAR* caption) {
    WCHAR text[FormatCapacity];
    FormatText(text, format, fileName);
    MessageBoxW(nullptr, text, caption, MB_OK | MB_ICONWARNING);
    return FALSE;
}

BOOL ReadImageFile(const WCHAR* fileName, ImageFile& image) {
    image = ImageFile{};
    std::ifstream file;
    if (!OpenImageFile(file, fileName)) return RefuseFile(FormatFileNotFound, fileName, CaptionFileMissing);
    const std::streamoff fileSize = file.tellg();
    file.seekg(0);
    char id[IdLength] = {0, 0, 0, 0};
    file.read(id, IdLength);
    image.region = file.gcount() == IdLength ? FindRegion(id) : nullptr;
    if (!image.region) {
        // Standard output is never seen in a windowed program: the box says it too.
        fputs(TextWrongId, stdout);
        return RefuseFile(FormatWrongId, fileName, CaptionCritical);
    }
    // Past its region the payload would overwrite the next region's sectors,
    // which were never erased.
    const std::streamoff payloadLength = fileSize - static_cast<std::streamoff>(IdLength);
    if (payloadLength < 0) return RefuseFile(FormatFileUnreadable, fileName, CaptionCritical);  // no size told
    if (payloadLength > static_cast<std::streamoff>(image.region->sectorCount) * SectorSize)
        return RefuseFile(FormatFileTooLarge, fileName, CaptionCritical);
    // Read whole before anything is erased: a short read leaves the flash untouched.
    image.payload.assign(static_cast<std::size_t>(payloadLength), '\0');
    file.read(&image.payload[0], payloadLength);
    if (file.gcount() != payloadLength) return RefuseFile(FormatFileUnreadable, fileName, CaptionCritical);
    return TRUE;
}
