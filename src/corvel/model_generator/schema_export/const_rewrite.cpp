// The const rewrite: a one-pass JSON scanner and the rewritten text.
#include "schema_export/const_rewrite.hpp"

#include "host/calls.hpp"

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace mg {
namespace {

struct ConstMember {
    size_t key_begin;  // the opening quote of "const"
    size_t key_end;    // just past its closing quote
    size_t colon_end;  // just past the colon
    size_t value_end;  // just past the value
};

// What an object means where it stands: a schema (its members are
// keywords) or a map of schemas (its members are names).
enum class Role : unsigned char { schema, schema_map };

struct Container {
    bool object;
    Role role;  // of the object itself, or of an array's elements
};

// Finds the const members to rewrite, in text order; nothing when the text
// is not well-formed JSON.
class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    std::optional<std::vector<ConstMember>> run()
    {
        skip_blanks();
        if (!value(Role::schema)) return std::nullopt;
        // Each turn starts right after an opening bracket or after an item.
        while (!open_.empty()) {
            skip_blanks();
            if (at_end()) return std::nullopt;
            const Container top = open_.back();
            if (text_[at_] == (top.object ? '}' : ']')) {
                ++at_;
                open_.pop_back();
                first_item_ = false;
                continue;
            }
            if (!first_item_) {
                if (text_[at_] != ',') return std::nullopt;
                ++at_;
                skip_blanks();
            }
            first_item_ = false;
            if (!(top.object ? member(top.role) : value(top.role))) return std::nullopt;
        }
        skip_blanks();
        if (!at_end()) return std::nullopt;
        return std::move(members_);
    }

private:
    [[nodiscard]] bool at_end() const { return at_ >= text_.size(); }

    void skip_blanks()
    {
        while (!at_end() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }

    // A value in role `role`; containers are opened and read by run().
    bool value(Role role)
    {
        if (at_end()) return false;
        const char first = text_[at_];
        if (first == '{' || first == '[') {
            ++at_;
            // A map of schemas holds objects only; anything else found under
            // its keyword is read as a schema.
            open_.push_back({.object = first == '{', .role = first == '{' ? role : Role::schema});
            first_item_ = true;
            return true;
        }
        return scalar();
    }

    bool member(Role role)
    {
        const size_t key_begin = at_;
        if (!string()) return false;
        const size_t key_end = at_;
        skip_blanks();
        if (at_end() || text_[at_] != ':') return false;
        const size_t colon_end = ++at_;
        skip_blanks();
        const std::string_view key = text_.substr(key_begin + 1, key_end - key_begin - 2);
        if (role == Role::schema && key == "const") {
            if (!skip_value()) return false;
            members_.push_back(
                {.key_begin = key_begin, .key_end = key_end, .colon_end = colon_end, .value_end = at_});
            return true;
        }
        Role child = Role::schema;
        if (role == Role::schema &&
            (key == "properties" || key == "patternProperties" || key == "definitions" || key == "$defs")) {
            child = Role::schema_map;
        }
        return value(child);
    }

    bool string()
    {
        if (at_end() || text_[at_] != '"') return false;
        ++at_;
        while (!at_end()) {
            const char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                at_ += 2;
                continue;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            ++at_;
        }
        return false;
    }

    // Numbers, true, false, null and the serialiser's NaN and Infinity.
    bool scalar()
    {
        if (!at_end() && text_[at_] == '"') return string();
        const size_t begin = at_;
        while (!at_end()) {
            const char c = text_[at_];
            const bool word = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              c == '-' || c == '+' || c == '.';
            if (!word) break;
            ++at_;
        }
        return at_ > begin;
    }

    // A whole value, containers included, read past without looking inside.
    bool skip_value()
    {
        if (at_end()) return false;
        const char first = text_[at_];
        if (first != '{' && first != '[') return scalar();
        std::vector<char> closers;
        while (!at_end()) {
            const char c = text_[at_];
            if (c == '"') {
                if (!string()) return false;
                continue;
            }
            if (c == '{' || c == '[') {
                closers.push_back(c == '{' ? '}' : ']');
            } else if (c == '}' || c == ']') {
                if (closers.empty() || closers.back() != c) return false;
                closers.pop_back();
                if (closers.empty()) {
                    ++at_;
                    return true;
                }
            }
            ++at_;
        }
        return false;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::vector<Container> open_;
    bool first_item_ = true;
    std::vector<ConstMember> members_;
};

void append(char*& out, std::string_view piece)
{
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
}

// Writes the rewritten text into `out`: each member grows by two characters.
void write_rewritten(std::string_view text, const std::vector<ConstMember>& members, char* out)
{
    size_t copied = 0;
    for (const ConstMember& member : members) {
        append(out, text.substr(copied, member.key_begin - copied));
        append(out, "\"enum\"");
        append(out, text.substr(member.key_end, member.colon_end - member.key_end));
        append(out, " [");
        append(out, text.substr(member.colon_end, member.value_end - member.colon_end));
        append(out, "]");
        copied = member.value_end;
    }
    append(out, text.substr(copied));
}

}  // namespace

Ref rewrite_consts(Handle text, Handle pattern)
{
    if (PyUnicode_Check(text.get())) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (!utf8) raise_error_set();
        const std::string_view view(utf8, static_cast<size_t>(size));
        if (auto members = Scanner(view).run()) {
            if (members->empty()) return Ref::borrow(text.get());
            const size_t result_size = view.size() + 2 * members->size();
            // The serialiser writes ASCII: fill the str in place.
            if (PyUnicode_IS_ASCII(text.get())) {
                Ref result = check(PyUnicode_New(static_cast<Py_ssize_t>(result_size), 127));
                write_rewritten(view, *members, static_cast<char*>(PyUnicode_DATA(result.get())));
                return result;
            }
            std::vector<char> buffer(result_size);
            write_rewritten(view, *members, buffer.data());
            return check(PyUnicode_DecodeUTF8(buffer.data(), static_cast<Py_ssize_t>(buffer.size()), nullptr));
        }
    }
    return call_method(pattern, "sub", {str(R"("enum": [\2]\3)"), text});
}

}  // namespace mg
