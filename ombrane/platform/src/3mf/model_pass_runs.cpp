// Runs of plain vertices and triangles read by a hand scanner instead of expat.
// Expat sees only their line ends; everything else, and the first element
// that leaves the plain form, goes to expat as before.
#include "3mf/model_pass.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "3mf/numbers.h"

namespace ombrane::platform {

namespace {

// "<triangle" and the character after it.
constexpr size_t kLookahead = 10;
// An element of a run longer than this is left to expat.
constexpr size_t kMaxRunElement = 1024;
// Lists whose elements keep missing the run form (properties on every
// triangle, say, or a list in a foreign namespace) are left to expat
// after this many in a row, until the next list starts.
constexpr int kMaxMisses = 8;

struct FastRun {
    size_t end;      // after the last element read; the start when none
    uint64_t lines;  // line ends up to end
    bool incomplete; // the first element runs past the text at hand
};

// El::Vertices or El::Triangles for the start of a run element, else
// El::Document.
El RunListAt(std::string_view at)
{
    auto named = [&](std::string_view tag) {
        if (!at.starts_with(tag) || at.size() <= tag.size()) return false;
        char c = at[tag.size()];
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/';
    };
    if (named("<vertex")) return El::Vertices;
    if (named("<triangle")) return El::Triangles;
    return El::Document;
}

// XML white space from i; counts line ends as expat does (CR LF once).
size_t SkipSpace(const char* buf, size_t i, size_t len, uint64_t& lines)
{
    while (i < len) {
        char c = buf[i];
        if (c == ' ' || c == '\t') {
            i++;
        } else if (c == '\n') {
            lines++;
            i++;
        } else if (c == '\r') {
            lines++;
            i++;
            if (i < len && buf[i] == '\n') i++;
        } else {
            break;
        }
    }
    return i;
}

enum class Scan : uint8_t { Read, Other, Short };

// One element at buf[i] (white space first): "<vertex" or "<triangle",
// then exactly the three attributes of its kind, each once, in any
// order, values of printable ASCII without references, then "/>".
// Slot k of the attribute goes to values[k]; end is past "/>".
template <bool kVertex>
Scan ScanElement(const char* buf, size_t i, size_t len, bool eof, std::string_view (&values)[3], size_t& end,
                 uint64_t& lines)
{
    const size_t start = i;
    auto out_of_text = [&] { return eof || len - start > kMaxRunElement ? Scan::Other : Scan::Short; };
    i = SkipSpace(buf, i, len, lines);
    constexpr std::string_view tag = kVertex ? "<vertex" : "<triangle";
    if (len - i < tag.size()) return i == len || std::string_view(buf + i, len - i) == tag.substr(0, len - i)
                                          ? out_of_text() : Scan::Other;
    if (std::string_view(buf + i, tag.size()) != tag) return Scan::Other;
    i += tag.size();
    unsigned seen = 0;
    for (;;) {
        size_t before = i;
        i = SkipSpace(buf, i, len, lines);
        if (i == len) return out_of_text();
        if (buf[i] == '/') {
            if (i + 1 == len) return out_of_text();
            if (buf[i + 1] != '>' || seen != 7) return Scan::Other;
            end = i + 2;
            return Scan::Read;
        }
        if (i == before) return Scan::Other;  // attributes are separated by white space
        int slot;
        if (kVertex) {
            slot = buf[i] - 'x';
            if (slot < 0 || slot > 2) return Scan::Other;
            i += 1;
        } else {
            if (buf[i] != 'v') return Scan::Other;
            if (i + 1 == len) return out_of_text();
            slot = buf[i + 1] - '1';
            if (slot < 0 || slot > 2) return Scan::Other;
            i += 2;
        }
        if (seen & (1u << slot)) return Scan::Other;  // expat refuses a repeated attribute
        seen |= 1u << slot;
        i = SkipSpace(buf, i, len, lines);
        if (i == len) return out_of_text();
        if (buf[i] != '=') return Scan::Other;
        i = SkipSpace(buf, i + 1, len, lines);
        if (i == len) return out_of_text();
        char quote = buf[i];
        if (quote != '"' && quote != '\'') return Scan::Other;
        size_t value = ++i;
        for (;; i++) {
            if (i == len) return out_of_text();
            char c = buf[i];
            if (c == quote) break;
            // White space in a value is normalised by expat, '&' starts a
            // reference, '<' is an error: expat's to deal with.
            if (c <= ' ' || c > '~' || c == '&' || c == '<') return Scan::Other;
        }
        values[slot] = std::string_view(buf + value, i - value);
        i++;
    }
}

// Reads the run of elements that starts at buf[pos], each checked as the

template <bool kVertex>
FastRun ReadRun(MeshData& mesh, const char* buf, size_t pos, size_t len, bool eof)
{
    FastRun run{pos, 0, false};
    uint64_t lines = 0;
    for (;;) {
        std::string_view values[3];
        size_t end = 0;
        Scan scan = ScanElement<kVertex>(buf, run.end, len, eof, values, end, lines);
        if (scan != Scan::Read) {
            run.incomplete = scan == Scan::Short && run.end == pos;
            return run;
        }
        if constexpr (kVertex) {
            Vec3 v;
            if (!ParseNumber(values[0], v.x) || !ParseNumber(values[1], v.y) || !ParseNumber(values[2], v.z))
                return run;
            mesh.vertices.push_back(v);
        } else {
            std::array<uint32_t, 3> tri;
            for (int k = 0; k < 3; k++)
                if (!ParseIndex(values[k], tri[k]) || tri[k] >= mesh.vertices.size()) return run;
            if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) return run;
            mesh.triangles.push_back(tri);
            if (!mesh.properties.empty()) mesh.properties.push_back(TriangleProperty{});
        }
        run.end = end;
        run.lines = lines;
    }
}

}  // namespace

// Runs of plain <vertex x y z/> and <triangle v1 v2 v3/> elements, the
// bulk of any model, are read here without expat: expat gets the text
// up to a run, checks it and confirms where it stands, then gets only
// the run's line ends so that its line numbers stay those of the text.
// Anything else in a run ends it there and goes to expat and the
// handlers, which give the same elements the same meaning and every
// refusal its message. Runs are looked for only in element content, so
// the scan follows comments, CDATA, processing instructions and quoted
// attribute values; after a document type declaration (refused) it
// stops looking.
size_t ModelPass::Consume(const char* buf, size_t len, bool eof)
{
    size_t fed = 0, pos = 0;
    while (pos < len) {
        switch (lex_) {
        case Lex::Off:
            pos = len;
            break;
        case Lex::Content: {
            const void* lt = std::memchr(buf + pos, '<', len - pos);
            if (!lt) {
                pos = len;
                break;
            }
            pos = size_t(static_cast<const char*>(lt) - buf);
            if (len - pos < kLookahead && !eof) goto hold;
            std::string_view at(buf + pos, len - pos);
            if (at.starts_with("<!--")) {
                lex_ = Lex::Comment;
                pos += 4;
            } else if (at.starts_with("<![CDATA[")) {
                lex_ = Lex::CData;
                pos += 9;
            } else if (at.starts_with("<?")) {
                lex_ = Lex::PI;
                pos += 2;
            } else if (at.starts_with("<!")) {
                lex_ = Lex::Off;
            } else {
                El list = RunListAt(at);
                if (list != El::Document && misses_ < kMaxMisses) {
                    Feed(buf + fed, pos - fed, false);
                    fed = pos;
                    if (!failed() && skip_depth_ == 0 && stack_.back() == list && !default_core_.empty() &&
                        default_core_.back()) {
                        MeshData& mesh = cur_object().mesh;
                        FastRun run = list == El::Vertices ? ReadRun<true>(mesh, buf, pos, len, eof)
                                                           : ReadRun<false>(mesh, buf, pos, len, eof);
                        if (run.end > pos) {
                            FeedLineEnds(run.lines);
                            fed = pos = run.end;
                            misses_ = 0;
                            break;
                        }
                        if (run.incomplete) goto hold;
                    }
                    misses_++;
                }
                lex_ = Lex::Tag;
                pos++;
            }
            break;
        }
        case Lex::Tag:
            for (; pos < len; pos++) {
                char c = buf[pos];
                if (c == '>') {
                    lex_ = Lex::Content;
                    pos++;
                    break;
                }
                if (c == '"' || c == '\'') {
                    quote_ = c;
                    lex_ = Lex::Quote;
                    pos++;
                    break;
                }
            }
            break;
        case Lex::Quote: {
            const void* q = std::memchr(buf + pos, quote_, len - pos);
            if (!q) {
                pos = len;
                break;
            }
            pos = size_t(static_cast<const char*>(q) - buf) + 1;
            lex_ = Lex::Tag;
            break;
        }
        case Lex::Comment:
        case Lex::CData:
        case Lex::PI: {
            std::string_view close = lex_ == Lex::Comment ? "-->" : lex_ == Lex::CData ? "]]>" : "?>";
            size_t at = std::string_view(buf + pos, len - pos).find(close);
            if (at != std::string_view::npos) {
                pos += at + close.size();
                lex_ = Lex::Content;
                break;
            }
            // Keep what could be the start of the closing mark.
            pos = std::max(pos, len - std::min(len, close.size() - 1));
            if (!eof) goto hold;
            pos = len;
            break;
        }
        }
    }
hold:
    if (eof) pos = len;
    Feed(buf + fed, pos - fed, eof);
    return pos;
}

void ModelPass::FeedLineEnds(uint64_t lines)
{
    static const std::string kLineEnds(4096, '\n');
    while (lines > 0) {
        size_t n = size_t(std::min<uint64_t>(lines, kLineEnds.size()));
        Feed(kLineEnds.data(), n, false);
        lines -= n;
    }
}

}  // namespace ombrane::platform
