// Host tool: turns files into C++ byte arrays with names of our choosing.
//
//   EmbedBinary header <out.h> <namespace> <name>=<file>...
//       declares each array with its exact size, plus a constexpr size constant
//   EmbedBinary source <out.cpp> <namespace> <header> <name> <file>
//       defines one array; it includes the header, so the compiler checks that the
//       definition and the declared size agree
//
// Each array gets a source file of its own and external linkage, so that a large array
// exists once in a program however many files use it.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace
{
bool readFile (const std::string& path, std::vector<unsigned char>& data)
{
    std::ifstream in (path, std::ios::binary);

    if (! in)
        return false;

    data.assign (std::istreambuf_iterator<char> (in), std::istreambuf_iterator<char>());
    return ! in.bad();
}

bool writeFile (const std::string& path, const std::string& text)
{
    std::ofstream out (path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool> (out.flush());
}

int fail (const std::string& message)
{
    std::fprintf (stderr, "EmbedBinary: %s\n", message.c_str());
    return 1;
}

int writeHeader (int argc, char** argv)
{
    const std::string ns = argv[3];
    std::ostringstream text;
    text << "// Generated at build time from the files named below; do not edit.\n"
         << "#pragma once\n\n"
         << "namespace " << ns << "\n{\n";

    for (int i = 4; i < argc; ++i)
    {
        const std::string entry = argv[i];
        const auto equals = entry.find ('=');

        if (equals == std::string::npos || equals == 0)
            return fail ("expected <name>=<file>, got '" + entry + "'");

        const auto name = entry.substr (0, equals);
        const auto path = entry.substr (equals + 1);
        std::vector<unsigned char> data;

        if (! readFile (path, data) || data.empty())
            return fail ("cannot read '" + path + "' or it is empty");

        text << "    // " << path.substr (path.find_last_of ('/') + 1) << "\n"
             << "    extern const unsigned char " << name << "[" << data.size() << "];\n"
             << "    constexpr int " << name << "Size = " << data.size() << ";\n\n";
    }

    text << "} // namespace " << ns << "\n";
    return writeFile (argv[2], text.str()) ? 0 : fail (std::string ("cannot write ") + argv[2]);
}

int writeSource (int argc, char** argv)
{
    if (argc != 7)
        return fail ("source needs <out.cpp> <namespace> <header> <name> <file>");

    std::vector<unsigned char> data;

    if (! readFile (argv[6], data) || data.empty())
        return fail (std::string ("cannot read '") + argv[6] + "' or it is empty");

    std::string text;
    text.reserve (data.size() * 4 + 256);
    text += "// Generated at build time; do not edit.\n#include \"";
    text += argv[4];
    text += "\"\n\nnamespace ";
    text += argv[3];
    text += "\n{\nconst unsigned char ";
    text += argv[5];
    text += "[" + std::to_string (data.size()) + "] = {\n";

    for (size_t i = 0; i < data.size(); ++i)
    {
        text += std::to_string (data[i]);
        text += (i % 24 == 23) ? ",\n" : ",";
    }

    text += "\n};\n}\n";
    return writeFile (argv[2], text) ? 0 : fail (std::string ("cannot write ") + argv[2]);
}
} // namespace

int main (int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";

    if (mode == "header" && argc >= 5)
        return writeHeader (argc, argv);

    if (mode == "source")
        return writeSource (argc, argv);

    return fail ("usage: EmbedBinary header <out.h> <namespace> <name>=<file>...\n"
                 "       EmbedBinary source <out.cpp> <namespace> <header> <name> <file>");
}
