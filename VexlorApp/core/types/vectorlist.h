#ifndef VECTORLIST_H
#define VECTORLIST_H

#include "laserop.h"

#include <QList>
#include <QMetaType>
#include <QObject>

// A list of graphic items handed to the image processor and the job generator.
class VectorList : public QObject
{
    Q_OBJECT
public:
    explicit VectorList(QObject *parent = nullptr);
    VectorList(const VectorList &other);
    ~VectorList() override;

    VectorList &operator=(const VectorList &other);

    QList<LaserOp::LaserOp> items;
};

Q_DECLARE_METATYPE(VectorList)

#endif // VECTORLIST_H
