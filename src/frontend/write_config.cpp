// The "writeConfig" operation: the compact configuration text becomes a configuration file.
#include "../common/config_text.h"
#include "binreader2.h"

bool BinReader2::writeConfig(const char* path, const char* config) {
    return _write_config_file(path, config);
}
