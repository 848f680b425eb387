#pragma once

#include <QString>
#include <QVector>

// Many updates in a row in one process, instant timing, with the resident
// memory after each.
struct SoakResult
{
    int updates = 0;
    int finished = 0;
    QString failure;
    QVector<qint64> residentKbAfter; // one entry per update
    double seconds = 0;

    qint64 growthKb() const
    {
        return residentKbAfter.size() < 2 ? 0 : residentKbAfter.last() - residentKbAfter.first();
    }
    bool passed() const { return finished == updates && growthKb() < maxGrowthKb; }
    QString toText() const;

    static constexpr qint64 maxGrowthKb = 2048;
};

class UpdateSoak
{
public:
    static SoakResult run(int updates);
};
