#include <aerie/io/automation.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <aerie/io/wav_writer.h>

namespace aerie {

namespace {

std::string trim(const std::string& s) {
    const auto a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// A plain decimal number ("0.5", "12", ".25"): no sign, exponent, inf or nan.
bool decimal(const std::string& s, double& out) {
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos || s.find('.') != s.rfind('.') ||
        s == ".") {
        return false;
    }
    out = std::strtod(s.c_str(), nullptr);
    return std::isfinite(out);
}

}  // namespace

std::vector<AutomationRow> parseAutomation(const std::string& text) {
    std::vector<AutomationRow> rows;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        auto fail = [&](const std::string& why) {
            throw AutomationError("malformed automation file: line " + std::to_string(number) + ": " + why);
        };
        if (!header) {
            std::string h;
            for (char c : line) {
                if (c != ' ' && c != '\t') h += c;
            }
            if (h != "time,parameter,value") fail("the header \"time,parameter,value\" expected, found \"" + line + "\"");
            header = true;
            continue;
        }
        const auto a = line.find(',');
        const auto b = line.rfind(',');
        if (a == std::string::npos || a == b) fail("three fields expected: time,parameter,value");
        AutomationRow row;
        row.line = number;
        std::string time = trim(line.substr(0, a));
        row.parameter = trim(line.substr(a + 1, b - a - 1));
        const std::string value = trim(line.substr(b + 1));
        if (!time.empty() && time.back() == 'b') {
            row.beats = true;
            time.pop_back();
        }
        if (!decimal(time, row.time)) fail("the time \"" + time + "\" is not a number of seconds (or beats, with b: 4.5b)");
        if (row.parameter.empty()) fail("no parameter");
        double v = 0.0;
        if (!decimal(value, v) || v > 1.0) fail("the value \"" + value + "\" is not a number from 0 to 1");
        row.value = static_cast<float>(v);
        rows.push_back(row);
    }
    if (!header) throw AutomationError("malformed automation file: it is empty (the header \"time,parameter,value\" expected)");
    return rows;
}

std::vector<AutomationRow> readAutomationFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw AutomationError("automation file not found: " + path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw AutomationError("automation file cannot be read: " + path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    try {
        return parseAutomation(text);
    } catch (const AutomationError& e) {
        throw AutomationError(std::string(e.what()) + ": " + path);
    }
}

void writeAutomationFile(const std::string& path, const std::vector<AutomationRow>& rows) {
    const std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw AutomationError("cannot write the automation file " + path, ErrorKind::OutputFile);
        out << "time,parameter,value\n";
        for (const AutomationRow& r : rows) {
            char line[128];
            // Nine decimals keep a frame's time at any rate; nine digits keep the float.
            (void)std::snprintf(line, sizeof line, "%.9f%s,", r.time, r.beats ? "b" : "");
            char value[32];
            (void)std::snprintf(value, sizeof value, "%.9g", static_cast<double>(r.value));
            out << line << r.parameter << ',' << value << '\n';
        }
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw AutomationError("cannot write the automation file " + path + " (disk full?)", ErrorKind::OutputFile);
        }
    }
    if (!replaceFile(tmp, path)) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw AutomationError("cannot put the automation file in place at " + path, ErrorKind::OutputFile);
    }
}

}  // namespace aerie
