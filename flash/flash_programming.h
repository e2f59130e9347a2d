// The unit's command set, the erase of flash sectors and the image writer.
#pragma once
#include <windows.h>

// Byte 2 of every frame is the controller's command: a mode, the speed
// selection or a FlashFrame's. Mode and speed frames are 01 01 and the
// command, and the unit echoes the command.
enum FpgaMode : BYTE {
    Normal = 0xD6,
    Reset = 0xD8,
    Write = 0xD9,
    Update = 0xDB,
    UpdateOk = 0xDC,
};
enum ControllerCommand : BYTE {
    SpiPassThrough = 0xD0,  // a flash command without data
    SelectSpeed12MHz = 0xD5,
    SpiPageProgram = 0xD7,  // a page program and its data; the unit echoes it when programmed
};
// Byte 3 of a FlashFrame: the flash's own command.
enum FlashOpcode : BYTE {
    FlashWriteEnable = 0x06,
    FlashReadStatus = 0x05,
    FlashSectorErase = 0xD8,
    FlashPageProgram = 0x02,
};

// Switches the FPGA into a mode; 1 when the unit echoed the code.
BOOL SetFpgaMode(BYTE code);
// Selects the 12 MHz SPI clock; 1 when the unit echoed it.
BOOL SelectSpiSpeed();

// Erases sectors firstSector to firstSector + sectorCount - 1; 1 when every
// one of them is erased and the flash reports not busy.
BOOL EraseSectors(BYTE firstSector, BYTE sectorCount);

// The checksum byte of a FlashFrame: the bytes and it sum to 0 modulo 256.
BYTE FlashChecksum(const BYTE* bytes, DWORD length);

// Programs one image file into the region its identifier selects; 1 when
// every piece was acknowledged. A failed erase ends the process (code 6).
BOOL WriteImageFile(const WCHAR* fileName);

// Where each kind of image goes.
const DWORD SectorSize = 0x10000;
struct ImageRegion {
    char id[4];
    DWORD baseAddress;
    BYTE firstSector;
    BYTE sectorCount;
};
extern const ImageRegion ImageRegions[3];
