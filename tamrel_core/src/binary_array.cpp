#include "tamrel/binary_array.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "tamrel/error.hpp"

namespace tamrel {

namespace {

constexpr std::array<std::int8_t, 256> make_alphabet() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    const char* letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(letters[i])] = static_cast<std::int8_t>(i);
    return table;
}

constexpr auto kAlphabet = make_alphabet();

// The formats store little-endian numbers; so does every platform built for.
static_assert(std::endian::native == std::endian::little);

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

template <class T>
void widen(std::string_view bytes, std::vector<double>& out) {
    const std::size_t n = bytes.size() / sizeof(T);
    const std::size_t base = out.size();
    out.resize(base + n);
    for (std::size_t i = 0; i < n; ++i) {
        T v;
        std::memcpy(&v, bytes.data() + i * sizeof(T), sizeof(T));
        out[base + i] = static_cast<double>(v);
    }
}

}  // namespace

void decode_base64(std::string_view text, std::string& out) {
    std::uint32_t acc = 0;
    std::size_t quads = 0, data = 0, padding = 0;
    out.reserve(out.size() + text.size() / 4 * 3);
    for (char c : text) {
        if (is_space(c)) continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const std::int8_t v = kAlphabet[static_cast<unsigned char>(c)];
        if (v < 0) throw InputFailure("Non-base64 digit found");
        if (padding) throw InputFailure("Excess data after padding");
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        if (++quads == 4) {
            out.push_back(static_cast<char>(acc >> 16));
            out.push_back(static_cast<char>(acc >> 8));
            out.push_back(static_cast<char>(acc));
            acc = 0;
            quads = 0;
        }
        ++data;
    }
    if (quads == 1) {
        throw InputFailure("Invalid base64-encoded string: number of data characters (" + std::to_string(data) +
                           ") cannot be 1 more than a multiple of 4");
    }
    if ((quads == 0 && padding != 0) || (quads != 0 && quads + padding != 4)) throw InputFailure("Incorrect padding");
    if (quads == 2) out.push_back(static_cast<char>(acc >> 4));
    if (quads == 3) {
        out.push_back(static_cast<char>(acc >> 10));
        out.push_back(static_cast<char>(acc >> 2));
    }
}

std::string inflate_zlib(std::string_view data) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw std::bad_alloc();
    std::string out;
    out.resize(std::max<std::size_t>(data.size() * 4, 1024));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    int rc = Z_OK;
    std::size_t produced = 0;
    while (rc == Z_OK) {
        if (produced == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        z.avail_out = static_cast<uInt>(out.size() - produced);
        rc = inflate(&z, Z_NO_FLUSH);
        produced = out.size() - z.avail_out;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) rc = Z_OK;  // the output was short of room
    }
    const char* message = z.msg;
    inflateEnd(&z);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_STREAM_END) {
        if (rc == Z_BUF_ERROR) throw InputFailure("Error -5 while decompressing data: incomplete or truncated stream");
        throw InputFailure("Error " + std::to_string(rc) + " while decompressing data: " +
                           (message ? message : "unknown error"));
    }
    out.resize(produced);
    return out;
}

bool widen_numbers(std::string_view bytes, NumberType type, std::vector<double>& out) {
    switch (type) {
        case NumberType::kFloat32:
            if (bytes.size() % 4) return false;
            widen<float>(bytes, out);
            return true;
        case NumberType::kFloat64:
            if (bytes.size() % 8) return false;
            widen<double>(bytes, out);
            return true;
        case NumberType::kInt32:
            if (bytes.size() % 4) return false;
            widen<std::int32_t>(bytes, out);
            return true;
        case NumberType::kInt64:
            if (bytes.size() % 8) return false;
            widen<std::int64_t>(bytes, out);
            return true;
    }
    return false;
}

}  // namespace tamrel
