// tolvane-psl-probe: prints the registrable domain of each argument under the packaged
// Public Suffix List ("-" when the name is a public suffix itself). It loads the list the
// way the library does, so it shows whether the resource bundle is found from where the
// program is installed.
//
//   $ tolvane-psl-probe shop.example.co.uk co.uk
//   example.co.uk
//   -
#include <iostream>
#include <tolvane/PublicSuffixList.hpp>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: tolvane-psl-probe HOST...\n";
        return 2;
    }
    const tolvane::PublicSuffixList& list = tolvane::PublicSuffixList::embedded();
    for (int i = 1; i < argc; ++i) {
        const auto registrable = list.registrableDomain(argv[i]);
        std::cout << (registrable ? *registrable : std::string_view("-")) << "\n";
    }
    return 0;
}
