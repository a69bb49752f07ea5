// A set of byte strings built once and then only read: sharded by a 64-bit
// FNV-1a hash, each shard filled by one thread of the pool, so that neither
// filling nor lookups take a lock. It stores views: the caller keeps the
// bytes alive (and unmoved) for as long as the set is used.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tamrel/parallel.hpp"

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
    // The strings item(i) of i in [0, n) that are not std::nullopt. `item`
    // is called from the pool's threads, twice per i.
    template <class Item>
    FnvStringSet(std::size_t n, const Item& item) {
        std::vector<std::uint64_t> hashes(n);
        std::vector<std::uint8_t> shard(n);  // kShards: not in the set
        parallel_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::optional<std::string_view> bytes = item(i);
                hashes[i] = bytes ? fnv1a64(*bytes) : 0;
                shard[i] = bytes ? shard_of(hashes[i]) : kShards;
            }
        });
        // The items of shard s: members[first[s] .. first[s + 1]), in item order.
        std::array<std::size_t, kShards + 2> first{};
        for (const std::uint8_t s : shard) ++first[s + 1u];
        for (std::size_t s = 0; s < kShards; ++s) first[s + 1] += first[s];
        std::vector<std::size_t> members(first[kShards]);
        {
            std::array<std::size_t, kShards + 1> fill{};
            std::copy(first.begin(), first.end() - 1, fill.begin());
            for (std::size_t i = 0; i < n; ++i) {
                if (shard[i] < kShards) members[fill[shard[i]]++] = i;
            }
        }
        parallel_for(kShards, [&](std::size_t begin, std::size_t end) {
            for (std::size_t s = begin; s < end; ++s) {
                Shard& into = shards_[s];
                into.slots.resize(capacity_for(first[s + 1] - first[s]));
                for (std::size_t m = first[s]; m < first[s + 1]; ++m) {
                    const std::size_t i = members[m];
                    std::string_view bytes = *item(i);
                    if (bytes.data() == nullptr) bytes = std::string_view("");
                    Slot& slot = into.find(hashes[i], bytes);
                    if (slot.data == nullptr) slot = {hashes[i], bytes.data(), bytes.size()};
                }
            }
        });
    }

    bool contains(std::string_view bytes) const { return contains(bytes, fnv1a64(bytes)); }
    // The same for bytes whose fnv1a64 is `hash`; a lookup `prefetch`ed a few
    // lookups ahead finds its slot in the cache.
    bool contains(std::string_view bytes, std::uint64_t hash) const {
        const Shard& shard = shards_[shard_of(hash)];
        return !shard.slots.empty() && shard.find(hash, bytes).data != nullptr;
    }
    void prefetch(std::uint64_t hash) const {
        const Shard& shard = shards_[shard_of(hash)];
        if (!shard.slots.empty()) __builtin_prefetch(&shard.slots[static_cast<std::size_t>(hash) & (shard.slots.size() - 1)]);
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
        std::vector<Slot> slots;

        Slot& find(std::uint64_t hash, std::string_view bytes) {
            return const_cast<Slot&>(static_cast<const Shard&>(*this).find(hash, bytes));
        }
        const Slot& find(std::uint64_t hash, std::string_view bytes) const {
            const std::size_t mask = slots.size() - 1;
            for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
                const Slot& slot = slots[i];
                if (slot.data == nullptr) return slot;
                if (slot.hash == hash && std::string_view(slot.data, slot.size) == bytes) return slot;
            }
        }
    };

    static constexpr std::size_t kShards = 64;

    // At most half full.
    static std::size_t capacity_for(std::size_t items) {
        std::size_t capacity = 16;
        while (capacity < items * 2) capacity *= 2;
        return capacity;
    }

    // The top bits pick the shard; the probe sequence starts from the low bits.
    static std::uint8_t shard_of(std::uint64_t hash) { return static_cast<std::uint8_t>(hash >> 58); }

    std::array<Shard, kShards> shards_;
};

}  // namespace tamrel
