#pragma once
// A small JSON reader for the answers of HTTP APIs (Cloudflare's): a tree of values, bounded depth and
// size, no exceptions. Numbers are kept as their text; strings are decoded (\uXXXX included, as UTF-8).

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CJson {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // False when `text` is not one JSON value (with nothing but white space around it), nests deeper
    // than 32 levels or holds more than 10000 values.
    static bool Parse(std::string_view text, CJson& value);
    // `text` as a JSON string literal, quotes included.
    static std::string Quote(std::string_view text);

    Type type() const { return m_type; }
    bool IsObject() const { return m_type == Type::Object; }
    bool IsArray() const { return m_type == Type::Array; }
    // The member `key` of an object, or null (also when this is not an object).
    const CJson* Get(std::string_view key) const;
    // The member's string, or `fallback` when it is missing or not a string.
    std::string Text(std::string_view key, const std::string& fallback = {}) const;
    // The member's number as an integer, or `fallback`.
    long long Integer(std::string_view key, long long fallback) const;
    // The member is `true`.
    bool True(std::string_view key) const;
    const std::vector<CJson>& Items() const { return m_items; }
    const std::string& Scalar() const { return m_text; }

private:
    friend class CJsonReader;
    Type m_type = Type::Null;
    std::string m_text;               // string, number, "true"/"false"
    std::vector<CJson> m_items;       // array items; object values
    std::vector<std::string> m_keys;  // object keys, beside m_items
};
