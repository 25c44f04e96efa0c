// Reads contract documents with the core's reader and prints one line per
// document, in the framing of the peer reader used for differential tests:
//   read_tool [--value-route] TYPE              < document
//   read_tool --batch-json [--value-route] TYPE < JSON Lines of JSON strings
#include <iostream>
#include <iterator>
#include <string>

#include "readers.hpp"

namespace json = veltrinax::json;

int main(int argc, char** argv) {
    bool value_route = false;
    bool batch = false;
    std::string type;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--value-route") {
            value_route = true;
        } else if (arg == "--batch-json") {
            batch = true;
        } else {
            type = arg;
        }
    }
    if (!veltrinax::testing::read_document(type, "", false)) {
        std::cerr << "unknown type " << type << "\n";
        return 2;
    }
    if (!batch) {
        std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        std::cout << *veltrinax::testing::read_document(type, text, value_route) << "\n";
        return 0;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        auto doc = json::from_text<std::string>(line);
        std::string answer =
            doc ? *veltrinax::testing::read_document(type, *doc, value_route) : "BAD-INPUT " + doc.error().to_string();
        json::Writer w;
        w.string(answer);
        std::cout << w.buffer() << "\n";
    }
    return 0;
}
