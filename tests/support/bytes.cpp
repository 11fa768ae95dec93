#include "support/bytes.h"

#include <algorithm>
#include <cstdint>

std::string random_bytes(std::size_t size, std::mt19937_64& engine)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = engine();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j)
            bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
    return bytes;
}

std::string stamped(std::size_t size, unsigned file_id)
{
    // One random block repeated: cheap for files of many megabytes.
    std::mt19937_64 engine(file_id);
    const std::string block = random_bytes(std::min<std::size_t>(size, 65536), engine);
    std::string bytes;
    bytes.reserve(size);
    while (bytes.size() < size)
        bytes.append(block, 0, std::min(block.size(), size - bytes.size()));
    for (std::size_t page = 0; page * 4096 < size; ++page) {
        const std::string stamp = "<" + std::to_string(file_id) + ":" + std::to_string(page) + ">";
        const std::size_t room = std::min(stamp.size(), size - page * 4096);
        bytes.replace(page * 4096, room, stamp, 0, room);
    }
    return bytes;
}
