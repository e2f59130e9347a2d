"""The program's texts, codes and regions that the reader names. Written by
make_trace_facts.py from the tests' table; do not edit (the test trace.facts fails
when this differs from the table)."""

SERIAL = b'2025'
# By first sector: kind, base address, size in bytes.
REGIONS = {0: ('1A60', 0x000000, 0x0A0000), 10: ('1A65', 0x0A0000, 0x060000), 16: ('1A70', 0x100000, 0x0E0000)}
# The text of each box the reader names.
BOXES = {
    'serial_string': 'Error retrieving serial string!',
    'not_connected': 'Usb device not connected!',
    'open_failed': 'Usb device could not be opened!',
    'close_failed': 'Unable to close device handle!',
    'send_failed': 'Error Sending Code',
    'queue_failed': 'Error Checking Queue',
    'read_failed': 'Error Reading Data',
    'mode_failed': 'ERROR Resetting FPGA!',
    'speed_failed': 'ERROR Selecting Speed!',
    'write_enable_failed': 'ERROR Write Enable!',
    'sector_erase_failed': 'Sector erase error!',
    'flash_write_failed': 'Flash Write ERROR!',
}
# The fatal stop's words (without their trailing blanks), by code.
FATAL_WORDS = {1: 'SPI Speed error', 2: 'Select Flash error', 3: 'Boot error', 4: 'Flash Read error', 5: 'Write error', 6: 'Chip Erase error', 7: 'Chip Write error', 8: 'Chip Erase error'}
# The fatal code of each kind of failure.
FATAL_CODES = {'speed': 1, 'mode': 5, 'erase': 6, 'image': 7}
