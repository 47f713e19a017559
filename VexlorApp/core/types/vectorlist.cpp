#include "vectorlist.h"

VectorList::VectorList(QObject *parent)
    : QObject(parent)
{
}

VectorList::VectorList(const VectorList &other)
    : QObject(nullptr)
    , items(other.items)
{
}

VectorList::~VectorList() = default;

VectorList &VectorList::operator=(const VectorList &other)
{
    if (this != &other)
        items = other.items;
    return *this;
}
