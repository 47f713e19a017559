#!/usr/bin/python3
# Documents drawn with cairo, the way desktop programs print: PDF files for
# the print system's filter path and PostScript files of cairo's own.
# Usage: documents.py OUTPUT-FOLDER PHOTO.png
import math
import random
import sys

import cairo

out = sys.argv[1]
photo = sys.argv[2]
POINT = 1.0
INCH = 72.0


def gradients(surface):
    c = cairo.Context(surface)
    linear = cairo.LinearGradient(72, 0, 540, 0)
    linear.add_color_stop_rgb(0, 0.9, 0.1, 0.1)
    linear.add_color_stop_rgb(0.5, 1, 0.9, 0.2)
    linear.add_color_stop_rgb(1, 0.1, 0.2, 0.8)
    c.rectangle(72, 72, 468, 90)
    c.set_source(linear)
    c.fill()
    radial = cairo.RadialGradient(190, 300, 8, 200, 310, 100)
    radial.add_color_stop_rgb(0, 1, 1, 0.6)
    radial.add_color_stop_rgb(1, 0.0, 0.35, 0.1)
    c.arc(200, 310, 100, 0, 2 * math.pi)
    c.set_source(radial)
    c.fill()
    mesh = cairo.MeshPattern()
    mesh.begin_patch()
    mesh.move_to(340, 220)
    mesh.curve_to(400, 200, 460, 240, 520, 220)
    mesh.line_to(520, 400)
    mesh.curve_to(460, 420, 400, 380, 340, 400)
    mesh.line_to(340, 220)
    mesh.set_corner_color_rgb(0, 1, 0, 0)
    mesh.set_corner_color_rgb(1, 0, 1, 0)
    mesh.set_corner_color_rgb(2, 0, 0, 1)
    mesh.set_corner_color_rgb(3, 1, 1, 0)
    mesh.end_patch()
    c.set_source(mesh)
    c.rectangle(330, 190, 200, 240)
    c.fill()
    # gradient text and a gradient stroke
    c.select_font_face("DejaVu Sans", cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_BOLD)
    c.set_font_size(54)
    c.move_to(72, 520)
    c.text_path("Gradient")
    grey = cairo.LinearGradient(72, 0, 400, 0)
    grey.add_color_stop_rgb(0, 0, 0, 0)
    grey.add_color_stop_rgb(1, 0.75, 0.75, 0.75)
    c.set_source(grey)
    c.fill()
    c.set_line_width(8)
    c.move_to(72, 600)
    c.curve_to(200, 540, 380, 660, 540, 600)
    c.set_source(linear)
    c.stroke()
    surface.show_page()


def softmask(surface):
    c = cairo.Context(surface)
    c.set_source_rgb(0.2, 0.4, 0.8)
    c.rectangle(72, 72, 468, 250)
    c.fill()
    picture = cairo.ImageSurface.create_from_png(photo)
    w, h = picture.get_width(), picture.get_height()
    # the photo faded out towards its edges: an image with a soft mask
    masked = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
    m = cairo.Context(masked)
    m.set_source_surface(picture, 0, 0)
    fade = cairo.RadialGradient(w / 2, h / 2, min(w, h) * 0.2, w / 2, h / 2, min(w, h) * 0.55)
    fade.add_color_stop_rgba(0, 0, 0, 0, 1)
    fade.add_color_stop_rgba(1, 0, 0, 0, 0)
    m.mask(fade)
    c.save()
    c.translate(120, 100)
    c.scale(360.0 / w, 360.0 / w)
    c.set_source_surface(masked, 0, 0)
    c.paint()
    c.restore()
    # a shape cut out with a hard mask
    c.set_source_rgb(0, 0, 0)
    c.select_font_face("DejaVu Serif")
    c.set_font_size(30)
    c.move_to(72, 600)
    c.show_text("A photo with a soft edge")
    surface.show_page()


def multipage(surface):
    for page in range(1, 7):
        c = cairo.Context(surface)
        c.select_font_face("DejaVu Sans")
        c.set_font_size(28)
        c.move_to(72, 100)
        c.show_text("Page %d of 6" % page)
        c.set_font_size(11)
        for line in range(40):
            c.move_to(72, 140 + line * 14)
            c.show_text("Line %d of page %d: the quick brown fox jumps over the lazy dog." % (line + 1, page))
        c.set_line_width(2)
        c.rectangle(60, 60, 492, 672)
        c.stroke()
        surface.show_page()


def segments(surface, count=50000):
    c = cairo.Context(surface)
    rng = random.Random(11)
    c.set_line_width(0.25)
    c.set_source_rgb(0, 0, 0)
    x, y = 306.0, 396.0
    c.move_to(x, y)
    for i in range(count):
        angle = rng.uniform(0, 2 * math.pi)
        x = min(560, max(52, x + 3 * math.cos(angle)))
        y = min(740, max(52, y + 3 * math.sin(angle)))
        c.line_to(x, y)
        if i % 5000 == 4999:
            c.stroke()
            c.move_to(x, y)
    c.stroke()
    c.set_line_width(1)
    c.rectangle(50, 50, 512, 692)
    c.stroke()
    surface.show_page()


def photo_page(surface):
    c = cairo.Context(surface)
    picture = cairo.ImageSurface.create_from_png(photo)
    w = picture.get_width()
    c.translate(72, 150)
    c.scale(468.0 / w, 468.0 / w)
    c.set_source_surface(picture, 0, 0)
    c.get_source().set_filter(cairo.FILTER_BEST)
    c.paint()
    surface.show_page()


def poster(surface):
    # a page of 48 x 36 inches; the drawing stays within the table's
    # 40 x 28 inches from the top left corner
    c = cairo.Context(surface)
    c.set_source_rgb(0.85, 0.1, 0.1)
    c.set_line_width(6)
    c.rectangle(1 * INCH, 1 * INCH, 38 * INCH, 26 * INCH)
    c.stroke()
    picture = cairo.ImageSurface.create_from_png(photo)
    w = picture.get_width()
    c.save()
    c.translate(6 * INCH, 4 * INCH)
    c.scale(20 * INCH / w, 20 * INCH / w)
    c.set_source_surface(picture, 0, 0)
    c.paint()
    c.restore()
    c.set_source_rgb(0, 0, 0)
    c.select_font_face("DejaVu Sans", cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_BOLD)
    c.set_font_size(2 * INCH)
    c.move_to(4 * INCH, 25 * INCH)
    c.show_text("POSTER 48 x 36")
    surface.show_page()


def lighttones(surface):
    c = cairo.Context(surface)
    for i, grey in enumerate((0.95, 0.9, 0.88, 0.8, 0.6, 0.3)):
        c.set_source_rgb(grey, grey, grey)
        c.rectangle(72 + (i % 3) * 160, 100 + (i // 3) * 200, 140, 170)
        c.fill()
    c.set_source_rgb(0, 0, 0)
    c.select_font_face("DejaVu Sans")
    c.set_font_size(14)
    c.move_to(72, 560)
    c.show_text("Tones of 5, 10, 12, 20, 40 and 70 % grey")
    surface.show_page()


def pdf(name, draw, width=612, height=792):
    surface = cairo.PDFSurface("%s/%s.pdf" % (out, name), width, height)
    draw(surface)
    surface.finish()


def ps(name, draw, width=612, height=792):
    surface = cairo.PSSurface("%s/%s.ps" % (out, name), width, height)
    draw(surface)
    surface.finish()


pdf("gradients", gradients)
pdf("softmask", softmask)
pdf("multipage", multipage)
pdf("segments", segments)
pdf("photo", photo_page)
pdf("lighttones", lighttones)
ps("cairo-gradients", gradients)
ps("cairo-softmask", softmask)
ps("cairo-poster", poster, 48 * INCH, 36 * INCH)
