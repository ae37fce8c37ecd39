// Attribute values as 3MF writes them: numbers, indices, lists of either,
// sRGB colours. Inline: the vertex and triangle runs parse every value here.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

namespace ombrane::platform {

inline bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsXmlSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsXmlSpace(s.back())) s.remove_suffix(1);
    return s;
}

// 3MF number: [+-]?((\d+(\.\d*)?)|(\.\d+))([eE][+-]?\d+)?, finite.
inline bool ParseNumber(std::string_view s, double& out)
{
    s = Trim(s);
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return false;
    }
    size_t lead = !s.empty() && s.front() == '-' ? 1 : 0;
    if (s.size() <= lead || !((s[lead] >= '0' && s[lead] <= '9') || s[lead] == '.')) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

// Non-negative integer below 2^31 (3MF resource ids and indices).
inline bool ParseIndex(std::string_view s, uint32_t& out)
{
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() < '0' || s.front() > '9') return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && out <= 0x7FFFFFFFu;
}

template <class T, class F>
bool ParseList(std::string_view s, std::vector<T>& out, F parse_one)
{
    out.clear();
    s = Trim(s);
    while (!s.empty()) {
        size_t end = 0;
        while (end < s.size() && !IsXmlSpace(s[end])) end++;
        T value;
        if (!parse_one(s.substr(0, end), value)) return false;
        out.push_back(value);
        s = Trim(s.substr(end));
    }
    return true;
}

inline bool ValidColor(std::string_view s)
{
    s = Trim(s);
    if ((s.size() != 7 && s.size() != 9) || s[0] != '#') return false;
    for (char c : s.substr(1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace ombrane::platform
