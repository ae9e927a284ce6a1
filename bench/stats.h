#ifndef STATS_H
#define STATS_H

#include <QList>

#include <algorithm>

// The median and the 99th percentile of a run's samples, and its worst.
struct Stats
{
    double median;
    double p99;
    double max;
};

inline Stats statsOf(QList<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double share) {
        return samples.at(std::min(qsizetype(share * samples.size()), samples.size() - 1));
    };
    return { at(0.5), at(0.99), samples.last() };
}

#endif // STATS_H
