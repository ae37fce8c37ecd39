// Loops on the OpenMP team whose output lands where a serial loop would put it.
#pragma once

#include <cstdint>

#include <omp.h>

constexpr int kTeamChunks = 64;

// Items [0, n) in kTeamChunks contiguous chunks, on the team: count(from,
// to) gives how many entries a chunk writes; ready(total) runs once the
// total is known (to make room, or to refuse: false skips the writing);
// write(from, to, at) writes a chunk's entries from index at. Each chunk
// writes after every entry of the chunks before it, so the entries fall in
// the order a serial loop appending them gives. Returns the total, or -1
// when ready refused.
template <class Count, class Ready, class Write>
int64_t team_fill_in_order(int64_t n, Count count, Ready ready, Write write)
{
    int64_t offset[kTeamChunks + 1];
    offset[0] = 0;
#pragma omp parallel for schedule(dynamic, 1)
    for (int c = 0; c < kTeamChunks; c++) offset[c + 1] = count(n * c / kTeamChunks, n * (c + 1) / kTeamChunks);
    for (int c = 0; c < kTeamChunks; c++) offset[c + 1] += offset[c];
    if (!ready(offset[kTeamChunks])) return -1;
#pragma omp parallel for schedule(dynamic, 1)
    for (int c = 0; c < kTeamChunks; c++) write(n * c / kTeamChunks, n * (c + 1) / kTeamChunks, offset[c]);
    return offset[kTeamChunks];
}
