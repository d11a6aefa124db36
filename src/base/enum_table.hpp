#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace nimbra {

// One row of an enumeration's table: its stored raw value and its two display texts.
template <typename E>
struct EnumRow {
    E value;
    std::string_view raw;
    std::string_view english;
    std::string_view chinese;
};

template <typename E, std::size_t N>
using EnumTable = std::array<EnumRow<E>, N>;

template <typename E, std::size_t N>
constexpr const EnumRow<E>& rowOf(const EnumTable<E, N>& table, E value) {
    for (const auto& row : table) {
        if (row.value == value) return row;
    }
    return table.front();  // unreachable for a complete table
}

// The case whose raw value equals `raw` exactly, checked in table order; none when nothing matches.
template <typename E, std::size_t N>
constexpr std::optional<E> valueOfRaw(const EnumTable<E, N>& table, std::string_view raw) {
    for (const auto& row : table) {
        if (row.raw == raw) return row.value;
    }
    return std::nullopt;
}

}  // namespace nimbra
