// A concurrent set of byte strings, sharded by a 64-bit FNV-1a hash with a
// read-write lock per shard. It stores views: the caller keeps the bytes alive
// (and unmoved) for as long as the set is used.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <utility>
#include <vector>

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
    // `expected` sizes the shards up front so that filling rarely rehashes.
    explicit FnvStringSet(std::size_t expected) : shards_(std::make_unique<Shard[]>(kShards)) {
        for (std::size_t i = 0; i < kShards; ++i) shards_[i].resize(capacity_for(expected / kShards + 1));
    }

    void insert(std::string_view bytes) {
        if (bytes.data() == nullptr) bytes = std::string_view("");
        const std::uint64_t hash = fnv1a64(bytes);
        Shard& shard = shard_for(hash);
        std::unique_lock lock(shard.lock);
        Slot& slot = shard.find(hash, bytes);
        if (slot.data != nullptr) return;
        slot = {hash, bytes.data(), bytes.size()};
        if (++shard.used * 2 > shard.slots.size()) shard.resize(shard.slots.size() * 2);
    }

    bool contains(std::string_view bytes) const {
        const std::uint64_t hash = fnv1a64(bytes);
        const Shard& shard = shard_for(hash);
        std::shared_lock lock(shard.lock);
        return shard.find(hash, bytes).data != nullptr;
    }

private:
    // Open addressing with linear probing; an empty slot has no data pointer
    // (an empty string is stored with a pointer to a static empty literal).
    struct Slot {
        std::uint64_t hash = 0;
        const char* data = nullptr;
        std::size_t size = 0;
    };

    struct Shard {
        mutable std::shared_mutex lock;
        std::vector<Slot> slots;
        std::size_t used = 0;

        Slot& find(std::uint64_t hash, std::string_view bytes) {
            return const_cast<Slot&>(std::as_const(*this).find(hash, bytes));
        }
        const Slot& find(std::uint64_t hash, std::string_view bytes) const {
            const std::size_t mask = slots.size() - 1;
            for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
                const Slot& slot = slots[i];
                if (slot.data == nullptr) return slot;
                if (slot.hash == hash && std::string_view(slot.data, slot.size) == bytes) return slot;
            }
        }
        void resize(std::size_t capacity) {
            std::vector<Slot> old(capacity);
            old.swap(slots);
            for (const Slot& s : old) {
                if (s.data != nullptr) find(s.hash, std::string_view(s.data, s.size)) = s;
            }
        }
    };

    static constexpr std::size_t kShards = 64;

    static std::size_t capacity_for(std::size_t items) {
        std::size_t capacity = 16;
        while (capacity < items * 2) capacity *= 2;
        return capacity;
    }

    // The top bits pick the shard; the probe sequence starts from the low bits.
    Shard& shard_for(std::uint64_t hash) const { return shards_[hash >> 58]; }

    std::unique_ptr<Shard[]> shards_;
};

}  // namespace tamrel
