// vesk-bench-walk: times the scan's walk (cycle/FolderWalk.h) alone over prepared trees, the way a
// pass runs it: with the mirror folder, stopping at the first eligible file, which it takes.
//
//   vesk-bench-walk PASSES ROOT MIRROR [ROOT MIRROR]...
//
// Runs PASSES walks of every tree, the trees taking turns, so that trees compared with each other
// meet the same machine load. The first pass over a tree also creates the mirror's folders and is
// reported apart. Prints one line per tree:
//   tree N first_us X median_us X min_us X max_us X found PATH
// ("-" when the walk found nothing).

#include "cycle/FolderWalk.h"

#include <QString>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 4 || (argc - 2) % 2 != 0) {
        std::fputs("usage: vesk-bench-walk PASSES ROOT MIRROR [ROOT MIRROR]...\n", stderr);
        return 2;
    }
    const int passes = std::max(2, std::atoi(argv[1]));
    struct Tree {
        QString root;
        QString mirror;
        std::vector<double> micros;
        QString found = QStringLiteral("-");
    };
    std::vector<Tree> trees;
    for (int i = 2; i + 1 < argc; i += 2)
        trees.push_back(Tree { QString::fromLocal8Bit(argv[i]), QString::fromLocal8Bit(argv[i + 1]), {}, {} });

    for (int pass = 0; pass < passes; ++pass) {
        for (Tree &tree : trees) {
            vesk::FolderWalk walk(tree.root, tree.mirror);
            const auto start = std::chrono::steady_clock::now();
            const std::optional<QString> item
                = walk.findFirst([](const QString &) { return vesk::FolderWalk::Verdict::Take; });
            const auto end = std::chrono::steady_clock::now();
            tree.micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
            tree.found = item ? *item : QStringLiteral("-");
        }
    }
    for (size_t i = 0; i < trees.size(); ++i) {
        const Tree &tree = trees[i];
        std::vector<double> rest(tree.micros.begin() + 1, tree.micros.end());
        std::sort(rest.begin(), rest.end());
        std::printf("tree %zu first_us %.1f median_us %.1f min_us %.1f max_us %.1f found %s\n", i,
            tree.micros.front(), rest[rest.size() / 2], rest.front(), rest.back(), qPrintable(tree.found));
    }
    return 0;
}
