// Renders the icon's SVG to a PNG at build time, so that the picture has one
// source. Debian's Qt 6 without its SVG module cannot read SVG, and the icon
// needs no more than filled rectangles (with rounded corners) and polygons in
// a viewBox, so this reads those alone and refuses anything else.
//
//   render_icon ICON.svg SIZE ICON.png

#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPolygonF>
#include <QXmlStreamReader>

#include <cstdio>
#include <cstdlib>

namespace {

int Refuse(const QString& why) {
  std::fprintf(stderr, "render_icon: %s\n", qPrintable(why));
  return 1;
}

double Number(const QXmlStreamAttributes& attributes, const char* name) {
  return attributes.value(QLatin1String(name)).toDouble();
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 4) return Refuse("usage: render_icon ICON.svg SIZE ICON.png");
  QFile svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.open(QIODevice::ReadOnly)) return Refuse(svg.errorString());
  const int size = std::atoi(argv[2]);
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);

  QXmlStreamReader xml(&svg);
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const QXmlStreamAttributes a = xml.attributes();
    const QStringView element = xml.name();
    if (element == QLatin1String("svg")) {
      const QStringList box = a.value(QLatin1String("viewBox")).toString().split(' ', Qt::SkipEmptyParts);
      if (box.size() != 4) return Refuse("the svg element has no viewBox of four numbers");
      painter.scale(size / box[2].toDouble(), size / box[3].toDouble());
      painter.translate(-box[0].toDouble(), -box[1].toDouble());
      continue;
    }
    const QColor fill(a.value(QLatin1String("fill")).toString());
    if (!fill.isValid()) return Refuse("a " + element.toString() + " without a fill colour");
    painter.setBrush(fill);
    if (element == QLatin1String("rect")) {
      const double radius = Number(a, "rx");
      painter.drawRoundedRect(QRectF(Number(a, "x"), Number(a, "y"), Number(a, "width"), Number(a, "height")),
                              radius, radius);
    } else if (element == QLatin1String("polygon")) {
      QPolygonF polygon;
      for (const QString& point : a.value(QLatin1String("points")).toString().split(' ', Qt::SkipEmptyParts)) {
        const QStringList xy = point.split(',');
        if (xy.size() != 2) return Refuse("a polygon point that is not x,y: " + point);
        polygon << QPointF(xy[0].toDouble(), xy[1].toDouble());
      }
      painter.drawPolygon(polygon);
    } else {
      return Refuse("a " + element.toString() + " element, which this renderer does not draw");
    }
  }
  if (xml.hasError()) return Refuse(xml.errorString());
  painter.end();
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) return Refuse(QString("cannot write ") + argv[3]);
  return 0;
}
