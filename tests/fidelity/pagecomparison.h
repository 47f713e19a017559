#ifndef PAGECOMPARISON_H
#define PAGECOMPARISON_H

#include <QImage>

// Compares two renderings of one page. Both are first softened by a 3 x 3
// mean, so that a thin line drawn as one dark column of pixels and the
// same line drawn as two lighter ones look alike. A pixel of one image agrees with
// the other image when each of its colour channels lies within the range
// that the other image spans around the same place (a square of the given
// radius), widened by the tolerance: anti-aliased edges that differ by a
// pixel agree, a missing, moved, resized or wrongly coloured shape does not.
// A pixel agrees when it agrees both ways. Ink pixels are those that are
// not white (beyond the tolerance) in either image; the figure that counts
// is the share of ink pixels that agree, so that blank paper does not hide
// a fault.
class pageComparison
{
public:
    struct Result
    {
        bool sameSize = false;
        qint64 pixels = 0;
        qint64 agreeing = 0;
        qint64 inkPixels = 0;
        qint64 inkAgreeing = 0;
        QImage differences; // red where pixels disagree, the page faded elsewhere

        double pageAgreement() const { return pixels ? double(agreeing) / pixels : 0.0; }
        double inkAgreement() const { return inkPixels ? double(inkAgreeing) / inkPixels : 1.0; }
    };

    // The tolerance is small enough that a light tone (a 12 % grey is 31
    // below white) counts as ink and differs from paper.
    static Result compare(const QImage &first, const QImage &second, int radius = 1, int tolerance = 20);

    // The weight of the ink: the sum over the page of how far each pixel's
    // luminance lies below white. A line drawn thinner or lighter than the
    // reference has less of it, wherever its pixels lie.
    static double darkness(const QImage &page);

    // The same ink weight compared block by block (squares of the given
    // side): the share of the ink weight of both pages that lies in blocks
    // whose weights differ by at most the given fraction of the larger one
    // (and by more than a pixel's worth of grey). Catches ink that is
    // missing, added or of the wrong weight in one place although the page
    // as a whole balances.
    static double blockWeightAgreement(
        const QImage &first, const QImage &second, int block = 32, double fraction = 0.10);
};

#endif // PAGECOMPARISON_H
