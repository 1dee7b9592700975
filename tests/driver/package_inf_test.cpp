// The driver package's INFs against the driver: corcard.inf offers exactly the catalogue's
// boards (one model line per row, under the hardware ID the PCI bus reports for it, named after
// the board's model), and corport.inf exactly the hardware IDs the driver gives its ports.
#include "spine_support.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// Just enough of the INF syntax for model lines: [sections], "key = field, field" lines,
// comments after ';' outside quotes, quoted fields, and %key% replaced from [Strings].
using Section = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::map<std::string, Section> ReadInf(const std::string& path)
{
    std::map<std::string, Section> sections;
    std::ifstream file(path);
    std::string line;
    Section* current = nullptr;
    while (std::getline(file, line)) {
        std::string plain;
        bool quoted = false;
        for (char c : line) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ';' && !quoted) {
                break;
            }
            plain.push_back(c);
        }
        plain = Trim(plain);
        if (plain.empty()) {
            continue;
        }
        if (plain.front() == '[') {
            current = &sections[Lower(plain.substr(1, plain.find(']') - 1))];
            continue;
        }
        if (current == nullptr) {
            continue;
        }
        size_t equals = plain.find('=');
        std::string key = equals == std::string::npos ? "" : Trim(plain.substr(0, equals));
        std::vector<std::string> fields;
        std::string rest = equals == std::string::npos ? plain : plain.substr(equals + 1);
        size_t start = 0;
        for (;;) {
            size_t comma = rest.find(',', start);
            std::string field = Trim(rest.substr(start, comma - start));
            if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
                field = field.substr(1, field.size() - 2);
            }
            fields.push_back(field);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        current->emplace_back(key, fields);
    }
    return sections;
}

std::string Substitute(const std::map<std::string, Section>& inf, const std::string& text)
{
    if (text.size() < 3 || text.front() != '%' || text.back() != '%') {
        return text;
    }
    std::string key = Lower(text.substr(1, text.size() - 2));
    auto strings = inf.find("strings");
    if (strings != inf.end()) {
        for (const auto& [name, fields] : strings->second) {
            if (Lower(name) == key) {
                return fields.at(0);
            }
        }
    }
    return "(missing string " + text + ")";
}

struct ModelLine {
    std::string Description;
    std::string HardwareId;
};

// The x64 model lines: [Manufacturer] names the models section and its decoration.
std::vector<ModelLine> ReadModels(const std::string& name)
{
    std::map<std::string, Section> inf = ReadInf(std::string(CORRAN_PACKAGE_DIR) + "/" + name);
    std::vector<ModelLine> models;
    auto manufacturer = inf.find("manufacturer");
    if (manufacturer == inf.end() || manufacturer->second.empty() ||
        manufacturer->second[0].second.size() != 2) {
        ADD_FAILURE() << name << ": no [Manufacturer] line with one decoration";
        return models;
    }
    const std::vector<std::string>& entry = manufacturer->second[0].second;
    EXPECT_EQ(Lower(entry[1]), "ntamd64") << name;
    auto section = inf.find(Lower(entry[0] + "." + entry[1]));
    if (section == inf.end()) {
        ADD_FAILURE() << name << ": no models section " << entry[0] << "." << entry[1];
        return models;
    }
    for (const auto& [description, fields] : section->second) {
        models.push_back({Substitute(inf, description), fields.size() == 2 ? fields[1] : ""});
    }
    return models;
}

TEST(PackageInf, AdapterModelsAreExactlyTheCatalogue)
{
    std::vector<std::string> expected;
    for (ULONG row = 0; row < BoardCatalogueCount; ++row) {
        const BOARD_ENTRY& board = BoardCatalogue[row];
        char id[64];
        std::snprintf(id, sizeof id, "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X", board.VendorId,
                      board.DeviceId, board.SubSystemId, board.SubVendorId);
        expected.push_back(id);
    }
    std::vector<ModelLine> models = ReadModels("corcard.inf");
    std::vector<std::string> found;
    for (const ModelLine& model : models) {
        found.push_back(model.HardwareId);
        // The line's board: its description names the model.
        auto at = std::find(expected.begin(), expected.end(), model.HardwareId);
        if (at != expected.end()) {
            const BOARD_ENTRY& board = BoardCatalogue[at - expected.begin()];
            std::string modelText =
                HmNarrow(std::u16string(reinterpret_cast<const char16_t*>(board.ModelText)));
            EXPECT_NE(model.Description.find(" " + modelText + " "), std::string::npos)
                << model.HardwareId << ": " << model.Description;
        }
    }
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
}

TEST(PackageInf, PortModelsAreTheDriversPortIds)
{
    std::vector<std::string> expected;
    for (ULONG port = 1; port <= MaxBoardPorts; ++port) {
        expected.push_back("CorPort" + std::to_string(port));
    }
    std::vector<std::string> found;
    for (const ModelLine& model : ReadModels("corport.inf")) {
        found.push_back(model.HardwareId);
    }
    std::sort(expected.begin(), expected.end());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, expected);
}

} // namespace
