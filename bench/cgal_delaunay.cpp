// Benchmark baseline: the range insert of a cloud into CGAL's 3-D Delaunay triangulation.
//
//     cgal_delaunay POINTS.bin [REPEATS]
//
// POINTS.bin holds float64 x, y, z triples. The file is read before the clock starts; each
// repeat times only the construction of a Delaunay_triangulation_3 from the whole range
// (which sorts the points spatially itself) and prints one line: seconds, vertices, finite
// cells. bench/delaunay.py compiles this with g++ -O3 into bench/.cache/ when CGAL's
// headers are there.

#include <CGAL/Delaunay_triangulation_3.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Triangulation = CGAL::Delaunay_triangulation_3<Kernel>;

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s POINTS.bin [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc == 3 ? std::atoi(argv[2]) : 1;
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<Kernel::Point_3> points;
    double xyz[3];
    while (std::fread(xyz, sizeof(double), 3, f) == 3) points.emplace_back(xyz[0], xyz[1], xyz[2]);
    std::fclose(f);

    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        Triangulation dt(points.begin(), points.end());
        const auto t1 = std::chrono::steady_clock::now();
        std::printf("%.6f %zu %zu\n", std::chrono::duration<double>(t1 - t0).count(),
                    static_cast<std::size_t>(dt.number_of_vertices()),
                    static_cast<std::size_t>(dt.number_of_finite_cells()));
        std::fflush(stdout);
    }
    return 0;
}
