// A concurrent set of byte strings, sharded by a 64-bit FNV-1a hash with a
// read-write lock per shard. It stores views: the caller keeps the bytes alive
// (and unmoved) for as long as the set is used.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <unordered_set>

namespace tamrel {

constexpr std::uint64_t fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

class FnvStringSet {
public:
    explicit FnvStringSet(std::size_t expected) : shards_(std::make_unique<Shard[]>(kShards)) {
        for (std::size_t i = 0; i < kShards; ++i) shards_[i].items.reserve(expected / kShards + 1);
    }

    void insert(std::string_view bytes) {
        Shard& shard = shard_for(bytes);
        std::unique_lock lock(shard.lock);
        shard.items.insert(bytes);
    }

    bool contains(std::string_view bytes) const {
        const Shard& shard = shard_for(bytes);
        std::shared_lock lock(shard.lock);
        return shard.items.count(bytes) != 0;
    }

private:
    struct Hash {
        std::size_t operator()(std::string_view bytes) const {
            return static_cast<std::size_t>(fnv1a64(bytes));
        }
    };
    struct Shard {
        mutable std::shared_mutex lock;
        std::unordered_set<std::string_view, Hash> items;
    };
    static constexpr std::size_t kShards = 64;

    // The top bits pick the shard; the table inside uses the low bits.
    Shard& shard_for(std::string_view bytes) const { return shards_[fnv1a64(bytes) >> 58]; }

    std::unique_ptr<Shard[]> shards_;
};

}  // namespace tamrel
