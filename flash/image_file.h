// Opening, identifying, measuring and reading an image file: the checks that
// decide whether a file can go to the unit, written once for the update's
// check of its files and for the writer.
#pragma once
#include <windows.h>

#include <fstream>
#include <string>

#include "flash/flash_programming.h"

// Opens the file positioned at its end (so the position is its size); false
// when it cannot be opened.
bool OpenImageFile(std::ifstream& stream, const WCHAR* name);

// Whether an image of this region's kind ("1A70") brings the four OSD parts.
bool IsOsdImage(const ImageRegion& region);

// What a file holds once read: the region its identifier selects (set as
// soon as the identifier is known, even when a later check refuses the
// file) and its payload.
struct ImageFile {
    const ImageRegion* region = nullptr;
    std::string payload;
};

// 1 when the file opens, its identifier is in the image table, its payload
// fits its region and is read whole. Otherwise 0, after the one box (and, for
// an unknown identifier, the "Wrong ID" line) that says what is wrong.
BOOL ReadImageFile(const WCHAR* fileName, ImageFile& image);
