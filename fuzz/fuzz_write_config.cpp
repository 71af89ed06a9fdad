// Fuzz target: the writeConfig text parser and frame assembly, and the file it writes or keeps.
#include <string>
#include <vector>

#include "bin_reader/bin_reader.h"
#include "common/config_text.h"
#include "frontend/binreader2.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The parser takes any bytes, NUL included.
    const std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::vector<unsigned char> frames;
        if (_assemble_config_frames(text, &frames)) {
            KX_FUZZ_CHECK(frames.size() <= static_cast<size_t>(kBlockSize));
            // Without raw frames every frame written is one the reader knows and accepts.
            if (!frames.empty() && text.find("unknownFrames") == std::string::npos) {
                std::vector<unsigned char> block(frames);
                block.resize(kBlockSize, 0);
                kx_Config back;
                KX_FUZZ_CHECK(_readConfig(&back, block.data()));
                KX_FUZZ_CHECK(!back.frameError && back.unknownFrames.empty());
            }
        } else {
            KX_FUZZ_CHECK(frames.empty());
        }
    }

    // The binding hands the text over up to its first NUL. The file holds exactly the frames
    // assembled, or keeps its old content, and no temporary file stays behind.
    const std::string c_text = text.substr(0, text.find('\0'));
    std::vector<unsigned char> frames;
    const bool valid = _assemble_config_frames(c_text, &frames);
    const std::string target = kxfuzz::scratch_path("config.bin");
    kxfuzz::write_file(target, "previous", 8);
    BinReader2 reader;
    const bool written = reader.writeConfig(target.c_str(), c_text.c_str());
    KX_FUZZ_CHECK(written == valid);
    const std::string content = kxfuzz::read_file(target);
    if (written) {
        KX_FUZZ_CHECK(content == std::string(frames.begin(), frames.end()));
    } else {
        KX_FUZZ_CHECK(content == "previous");
    }

    // The older reader's writer makes the same file of the same text, without a word.
    const std::string older = kxfuzz::scratch_path("older.bin");
    kxfuzz::write_file(older, "previous", 8);
    BinReader().writeConfig(older.c_str(), c_text.c_str());
    KX_FUZZ_CHECK(kxfuzz::read_file(older) == content);
    KX_FUZZ_CHECK(kxfuzz::scratch_entries() == (std::vector<std::string>{"config.bin", "older.bin"}));
    return 0;
}
