#include "transfer/TransferFktText.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "platform/RegularFile.h"

namespace qz {

namespace {

// Bounds that keep a hostile file from costing more than a glance.
constexpr std::size_t kMaxTextBytes = 1 << 20;
constexpr std::size_t kMaxLineBytes = 4096;

struct Command {
    bool color = false;
    int density = 0;
    std::uint8_t rgba[4] = {0, 0, 0, 0};
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && !isBlank(line[i]))
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A word shown in a message, shortened and with unprintable bytes replaced.
std::string quoted(std::string_view word) {
    std::string out = "'";
    for (std::size_t i = 0; i < word.size() && i < 32; ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        out += (c >= 0x20 && c < 0x7f) ? char(c) : '?';
    }
    if (word.size() > 32)
        out += "...";
    return out + "'";
}

// Parses a decimal integer within [low, high]; anything else is a message.
bool parseInteger(std::string_view word, int low, int high, const char* what, int* value,
                  std::string* problem) {
    std::size_t digitsFrom = (!word.empty() && (word[0] == '-' || word[0] == '+')) ? 1 : 0;
    bool digits = word.size() > digitsFrom;
    for (std::size_t i = digitsFrom; i < word.size(); ++i)
        digits = digits && word[i] >= '0' && word[i] <= '9';
    if (!digits) {
        *problem = std::string(what) + " " + quoted(word) + " is not an integer";
        return false;
    }
    if (word[0] == '+')
        word.remove_prefix(1);
    long long parsed = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), parsed);
    if (ec != std::errc() || end != word.data() + word.size() || parsed < low || parsed > high) {
        *problem = std::string(what) + " " + quoted(word) + " is outside " + std::to_string(low) + ".." +
                   std::to_string(high);
        return false;
    }
    *value = int(parsed);
    return true;
}

// Reads one line into a command; false with a message when the line is malformed. Blank and
// comment-only lines give no command.
bool parseLine(std::string_view line, std::vector<Command>* commands, std::string* problem) {
    if (line.size() > kMaxLineBytes) {
        *problem = "line longer than " + std::to_string(kMaxLineBytes) + " characters";
        return false;
    }
    if (line.find('\0') != std::string_view::npos) {
        *problem = "unexpected NUL character";
        return false;
    }
    const std::size_t comment = line.find('#');
    if (comment != std::string_view::npos)
        line = line.substr(0, comment);
    const std::vector<std::string_view> words = splitWords(line);
    if (words.empty())
        return true;

    Command command;
    if (words[0] == "rgb") {
        if (words.size() != 5) {
            *problem = "'rgb' takes 4 integers (DENSITY R G B), got " + std::to_string(words.size() - 1);
            return false;
        }
        command.color = true;
        if (!parseInteger(words[1], 0, kMaxDensity - 1, "density", &command.density, problem))
            return false;
        const char* names[3] = {"red", "green", "blue"};
        for (int c = 0; c < 3; ++c) {
            int value = 0;
            if (!parseInteger(words[2 + c], 0, 255, names[c], &value, problem))
                return false;
            command.rgba[c] = std::uint8_t(value);
        }
    } else if (words[0] == "alpha") {
        if (words.size() != 3) {
            *problem = "'alpha' takes 2 integers (DENSITY A), got " + std::to_string(words.size() - 1);
            return false;
        }
        int value = 0;
        if (!parseInteger(words[1], 0, kMaxDensity - 1, "density", &command.density, problem))
            return false;
        if (!parseInteger(words[2], 0, 255, "alpha", &value, problem))
            return false;
        command.rgba[3] = std::uint8_t(value);
    } else {
        *problem = "unknown command " + quoted(words[0]) + " (expected 'rgb' or 'alpha')";
        return false;
    }
    commands->push_back(command);
    return true;
}

void setError(std::string* error, std::string message) {
    if (error)
        *error = std::move(message);
}

}  // namespace

bool applyTransferFktText(const std::string& text, TransferFkt& fkt, std::string* error) {
    if (text.size() > kMaxTextBytes) {
        setError(error, "transfer function text larger than " + std::to_string(kMaxTextBytes) + " bytes");
        return false;
    }

    // Check every line before changing anything, so a bad file leaves the function as it was.
    std::vector<Command> commands;
    std::size_t lineNumber = 0;
    // A UTF-8 byte order mark, as some editors write, is not part of the first line.
    std::size_t start = text.rfind("\xef\xbb\xbf", 0) == 0 ? 3 : 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++lineNumber;
        std::string problem;
        if (!parseLine(std::string_view(text).substr(start, end - start), &commands, &problem)) {
            setError(error, "line " + std::to_string(lineNumber) + ": " + problem);
            return false;
        }
        start = end + 1;
    }

    // The lines edit the points as they stand, which are then set at once: one walk of each kind
    // for any number of lines, and the same table as the lines' edits one after another.
    TransferFktPoints points = fkt.referencePoints();
    std::map<int, TransferFktPoints::ColorPoint> color;
    std::map<int, TransferFktPoints::OpacityPoint> opacity;
    for (const TransferFktPoints::ColorPoint& p : points.color)
        color[p.density] = p;
    for (const TransferFktPoints::OpacityPoint& p : points.opacity)
        opacity[p.density] = p;
    for (const Command& c : commands) {
        if (c.color) {
            color[c.density] = {c.density, c.rgba[0], c.rgba[1], c.rgba[2]};
        } else {
            opacity[c.density] = {c.density, c.rgba[3]};
        }
    }
    points.color.clear();
    points.opacity.clear();
    for (const auto& [density, p] : color)
        points.color.push_back(p);
    for (const auto& [density, p] : opacity)
        points.opacity.push_back(p);
    fkt.setReferencePoints(points);
    return true;
}

bool loadTransferFktFile(const std::string& path, TransferFkt& fkt, std::string* error) {
    const RegularFile file(path);
    if (!file.isOpen()) {
        setError(error, file.openError() != 0
                            ? "cannot open " + quotedPath(path) + ": " + std::strerror(file.openError())
                            : quotedPath(path) + " is not a regular file");
        return false;
    }
    if (std::uint64_t(file.size()) > kMaxTextBytes) {
        setError(error, quotedPath(path) + " is larger than " + std::to_string(kMaxTextBytes) + " bytes");
        return false;
    }

    // Read at most one byte past the bound, in case the file grows while it is read.
    std::string text(kMaxTextBytes + 1, '\0');
    const std::int64_t total = file.readAt(text.data(), std::int64_t(text.size()), 0);
    if (total < 0) {
        setError(error, "cannot read " + quotedPath(path) + ": " + std::strerror(errno));
        return false;
    }
    text.resize(std::size_t(total));
    return applyTransferFktText(text, fkt, error);
}

namespace {

// Applies load to a scratch function of its own and takes its points.
template <typename Load>
bool pointsFromScratch(Load load, TransferFktPoints* points) {
    NotificationCenter center;
    TransferFkt scratch(center);
    if (!load(scratch))
        return false;
    *points = scratch.referencePoints();
    return true;
}

}  // namespace

bool transferFktPointsFromText(const std::string& text, TransferFktPoints* points, std::string* error) {
    return pointsFromScratch([&](TransferFkt& fkt) { return applyTransferFktText(text, fkt, error); },
                             points);
}

bool transferFktPointsFromFile(const std::string& path, TransferFktPoints* points, std::string* error) {
    return pointsFromScratch([&](TransferFkt& fkt) { return loadTransferFktFile(path, fkt, error); }, points);
}

std::string transferFktText(const TransferFktPoints& points) {
    std::string text = "# Quarzelle transfer function: rgb DENSITY R G B, alpha DENSITY A\n";
    for (const TransferFktPoints::ColorPoint& p : points.color) {
        text += "rgb " + std::to_string(p.density) + " " + std::to_string(p.red) + " " +
                std::to_string(p.green) + " " + std::to_string(p.blue) + "\n";
    }
    for (const TransferFktPoints::OpacityPoint& p : points.opacity)
        text += "alpha " + std::to_string(p.density) + " " + std::to_string(p.opacity) + "\n";
    return text;
}

}  // namespace qz
