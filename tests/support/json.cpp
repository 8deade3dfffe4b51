#include "json.h"

#include <cctype>
#include <cstdlib>

namespace {

class Parser {
  public:
    explicit Parser(const std::string &text) : s_(text) {}

    bool value(Json &out) {
        space();
        if (pos_ >= s_.size()) {
            return false;
        }
        const char c = s_[pos_];
        if (c == '{') {
            return object(out);
        }
        if (c == '[') {
            return array(out);
        }
        if (c == '"') {
            out.kind = Json::Kind::string;
            return string(out.string);
        }
        if (literal("true")) {
            out.kind = Json::Kind::boolean;
            out.boolean = true;
            return true;
        }
        if (literal("false")) {
            out.kind = Json::Kind::boolean;
            return true;
        }
        if (literal("null")) {
            out.kind = Json::Kind::null;
            return true;
        }
        return number(out);
    }

    bool at_end() {
        space();
        return pos_ == s_.size();
    }

  private:
    void space() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])) != 0) {
            ++pos_;
        }
    }
    bool eat(char c) {
        space();
        if (pos_ < s_.size() && s_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool literal(const std::string &word) {
        if (s_.compare(pos_, word.size(), word) == 0) {
            pos_ += word.size();
            return true;
        }
        return false;
    }
    bool string(std::string &out) {
        if (!eat('"')) {
            return false;
        }
        while (pos_ < s_.size() && s_[pos_] != '"') {
            if (s_[pos_] == '\\') {
                ++pos_;
                if (pos_ >= s_.size()) {
                    return false;
                }
            }
            out += s_[pos_++];
        }
        return eat('"');
    }
    bool number(Json &out) {
        const char *begin = s_.c_str() + pos_;
        char *end = nullptr;
        out.number = std::strtod(begin, &end);
        if (end == begin) {
            return false;
        }
        out.kind = Json::Kind::number;
        pos_ += static_cast<std::size_t>(end - begin);
        return true;
    }
    bool array(Json &out) {
        out.kind = Json::Kind::array;
        eat('[');
        if (eat(']')) {
            return true;
        }
        do {
            Json item;
            if (!value(item)) {
                return false;
            }
            out.array.push_back(item);
        } while (eat(','));
        return eat(']');
    }
    bool object(Json &out) {
        out.kind = Json::Kind::object;
        eat('{');
        if (eat('}')) {
            return true;
        }
        do {
            std::string key;
            space();
            Json item;
            if (!string(key) || !eat(':') || !value(item)) {
                return false;
            }
            out.object[key] = item;
        } while (eat(','));
        return eat('}');
    }

    const std::string &s_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<Json> parse_json(const std::string &text) {
    Parser p(text);
    Json j;
    if (!p.value(j) || !p.at_end()) {
        return std::nullopt;
    }
    return j;
}
