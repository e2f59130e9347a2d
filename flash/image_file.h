// Opening an image file by its wide name, for raw reading.
#pragma once
#include <windows.h>

#include <fstream>

// Opens the file positioned at its end (so the position is its size); false
// when it cannot be opened.
bool OpenImageFile(std::ifstream& stream, const WCHAR* name);
