/* Beam path planning for the vector pass. */
#include <math.h>
#include <stdio.h>

struct point {
    double x, y;
};

/* Length of the path through n points, in device pixels. */
static double path_length(const struct point *p, int n)
{
    double total = 0.0;
    for (int i = 1; i < n; ++i)
        total += hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
    return total;
}

int main(void)
{
    const struct point square[] = { { 0, 0 }, { 100, 0 }, { 100, 100 }, { 0, 100 }, { 0, 0 } };
    printf("square: %.1f px\n", path_length(square, 5));
    return 0;
}
