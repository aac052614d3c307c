// Layout units of the console's windows.
#ifndef TAVRO_TWIPS_H
#define TAVRO_TWIPS_H

#include <QRect>

// Layouts are given in twips (1/1440 inch); 15 twips make a pixel at 96 dpi.
namespace twips {
inline int toPixels(int twips)
{
    return (twips * 2 + 15) / 30; // nearest pixel, for non-negative values
}
inline QRect toPixels(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}
} // namespace twips

#endif // TAVRO_TWIPS_H
