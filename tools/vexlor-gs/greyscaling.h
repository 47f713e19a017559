#ifndef GREYSCALING_H
#define GREYSCALING_H

#include <QImage>

// Smooth enlargement of an eight-bit grey picture, pixel for pixel what
// QImage::scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
// gives for the same picture in 32 bits (each of whose channels holds the
// grey), but a quarter of the memory and work, on two threads: the picture is
// never held in 32 bits at its enlarged size.
//
// The enlargement interpolates between the four source pixels around each
// target pixel with weights in 256ths: first down the columns, then along the
// row, each step dropping the fraction.
//
// Returns a null image unless the picture is Format_Grayscale8 and neither
// side becomes smaller (a side that stays the same size is fine).
QImage enlargeGreyPicture(const QImage &grey, int width, int height);

#endif // GREYSCALING_H
