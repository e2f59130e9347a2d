// Whether a flash holds an image where its kind goes: the payload at the
// region's base, then erased cells to the region's end.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

bool RegionHolds(const std::vector<BYTE>& flash, const std::string& id, const std::vector<unsigned char>& payload);
