// The per-node work of CalcStatistic, areas side by side in vector lanes.
//
// Every area's sums are chains of dependent additions whose order and
// precisions are part of the results, so one area cannot be split. Several
// areas are independent, though: the walk below gives each lane of a vector
// one area at a time, and every vector operation advances all lanes by one
// node of their own area. Each lane thus sees its area's nodes in ascending
// order, with the same single and double precision operations as a plain
// loop, and the latency of one chain is shared by as many areas as there are
// lanes: four for the sums, eight for the squared differences.
//
// statistic_kernels.cpp includes this file twice, each time in a namespace of
// its own: once for the baseline instruction set and once, with
// STATISTIC_LANES_AVX2 defined, under the avx2 and fma targets, where the
// lanes fill 256-bit registers (the kernels' vector types differ between
// the two, so the file itself is the body built once per instruction set).
// Hence no include guard. It relies on Input, NodeData, Results (statistic.h)
// and NodeIndex and Run of the including file.

#include "statistic_vectors.h"

// Steps per call of a kernel, small enough for 32-bit counters per lane.
constexpr std::int64_t kMaxSteps = std::int64_t{1} << 30;

// Walks the areas of ix.order over the Kernel::kLanes lanes. Kernel provides
//   start(lane, a): the lane begins area a,
//   finish(lane, a): the lane has seen every node of area a,
//   run(node, steps): every lane l takes nodes node[l] .. node[l] + steps - 1.
// A lane without an area left shadows a busy lane: it reads the same nodes,
// so every read stays within the arrays, and its sums are thrown away.
template <class Index, class Kernel>
void walk(const NodeIndex<Index>& ix, Kernel& kernel) {
    constexpr int kLanes = Kernel::kLanes;
    struct Lane {
        std::int64_t area = -1;
        const Run<Index>* run = nullptr;
        const Run<Index>* last = nullptr;
    };
    Lane lane[kLanes];
    std::int64_t node[kLanes] = {}, end[kLanes] = {};
    std::int64_t next = 0;
    auto take = [&](int l) {
        lane[l].area = -1;
        if (next == ix.filled) return;
        const std::int64_t a = ix.order[next++];
        lane[l] = Lane{a, ix.runs.get() + ix.at[a], ix.runs.get() + ix.at[a + 1]};
        node[l] = lane[l].run->first;
        end[l] = lane[l].run->last;
        kernel.start(l, a);
    };
    for (int l = 0; l < kLanes; ++l) take(l);
    for (;;) {
        int busy = -1;
        std::int64_t steps = kMaxSteps;
        for (int l = 0; l < kLanes; ++l) {
            if (lane[l].area < 0) continue;
            busy = l;
            steps = std::min(steps, end[l] - node[l]);
        }
        if (busy < 0) return;
        for (int l = 0; l < kLanes; ++l)
            if (lane[l].area < 0) node[l] = node[busy];
        kernel.run(node, steps);
        for (int l = 0; l < kLanes; ++l) {
            if (lane[l].area < 0) continue;
            node[l] += steps;
            if (node[l] < end[l]) continue;
            if (++lane[l].run != lane[l].last) {
                node[l] = lane[l].run->first;
                end[l] = lane[l].run->last;
                continue;
            }
            kernel.finish(l, lane[l].area);
            take(l);
        }
    }
}

// The sums of NC (one or two) components from j0 on, and with kCentre the
// centre and the highest z as well. The precisions are part of the results:
// counts and sums of values in single precision, weighted sums formed in
// double and stored in single. The sum of |value| is formed in double and
// stored in single too, which the float addition used here reproduces
// exactly: double has more than twice the precision of float, so rounding
// the double sum of two floats to float gives the float sum (and float sums
// among the subnormals are exact either way).
//
// The single precision work of both components shares one vector of eight:
// the first component in lanes 0-3, the second in lanes 4-7, lane l and l + 4
// walking the same area. A single component fills the upper half with a
// copy of itself, whose sums are not kept.
template <int NC, bool kCentre, bool kSpace3>
class FirstPass {
    static_assert(NC == 1 || NC == 2);

public:
    static constexpr int kLanes = sizeof(Floats) / sizeof(float);

    FirstPass(const Input& in, const NodeData* nd, Results& r, int j0) : in_(in), r_(r), j0_(j0) {
        for (int h = 0; h < 2; ++h) {
            const NodeData& d = nd[j0 + (NC == 2 ? h : 0)];
            val_[h] = d.value.get();
            for (int l = 0; l < kLanes; ++l) set_lane(nul_, h * kLanes + l, d.null_value);
        }
    }

    void start(int l, std::int64_t) {
        for (int k = 0; k < NC; ++k) {
            const int at = k * kLanes + l;
            set_lane(dmin_, at, kFloatMax);
            set_lane(dmax_, at, -kFloatMax);
            set_lane(mean_, at, 0.0f);
            set_lane(sum_, at, 0.0f);
            wx_[k][l] = wy_[k][l] = wz_[k][l] = 0.0f;
            cnt_[l][k] = 0;
        }
        cx_[l] = cy_[l] = cz_[l] = 0.0f;
        maxz_[l] = -kFloatMax;
    }

    void finish(int l, std::int64_t a) {
        const std::int64_t at = a * r_.ncomp + j0_;
        for (int k = 0; k < NC; ++k) {
            const int at_lane = k * kLanes + l;
            r_.dmin[at + k] = lane(dmin_, at_lane);
            r_.dmax[at + k] = lane(dmax_, at_lane);
            float* w = r_.wav.get() + (at + k) * 3;
            w[0] = wx_[k][l];
            w[1] = wy_[k][l];
            w[2] = wz_[k][l];
            r_.cnt[at + k] = cnt_[l][k];
            r_.sum[at + k] = lane(sum_, at_lane);
            r_.mean[at + k] = lane(mean_, at_lane);
        }
        if constexpr (kCentre) {
            r_.centre[3 * a] = cx_[l];
            r_.centre[3 * a + 1] = cy_[l];
            r_.centre[3 * a + 2] = cz_[l];
            r_.maxz[a] = maxz_[l];
        }
    }

    void run(const std::int64_t* node, std::int64_t steps) {
        const int nspace = kSpace3 ? 3 : in_.nspace;
        const float* c[kLanes];
        const float* v[2 * kLanes];
#pragma GCC unroll 4
        for (int l = 0; l < kLanes; ++l) {
            c[l] = in_.coord + node[l] * nspace;
            v[l] = val_[0] + node[l];
            v[kLanes + l] = val_[1] + node[l];
        }
        // The sums live in registers for the whole call; the counts count
        // the excluded values, the valid ones are the rest of the steps.
        Floats8 dmin = dmin_, dmax = dmax_, mean = mean_, sum = sum_;
        Ints8 excluded{};
        Floats wx[NC], wy[NC], wz[NC];
#pragma GCC unroll 2
        for (int k = 0; k < NC; ++k) {
            wx[k] = wx_[k];
            wy[k] = wy_[k];
            wz[k] = wz_[k];
        }
        Floats cx = cx_, cy = cy_, cz = cz_, maxz = maxz_;
        const Floats8 nul = nul_, eps = splat8(kNullEpsilon);
        for (std::int64_t i = 0; i < steps; ++i) {
            const std::int64_t o = i * nspace;
            const Floats x = gather(c, o);
            const Floats y = nspace >= 2 ? gather(c, o + 1) : Floats{};
            const Floats z = nspace >= 3 ? gather(c, o + 2) : Floats{};
            if constexpr (kCentre) {
                cx += x;
                cy += y;
                cz += z;
                maxz = z > maxz ? z : maxz;
            }
            const Doubles dx = wide(x), dy = wide(y), dz = wide(z);
            const Floats8 u = join(gather(v, i), gather(v + kLanes, i));
            const Ints8 ok = magnitude(u - nul) > eps;
            const Floats8 w = magnitude(u);
            if (all_lanes(ok)) {
                dmin = select(u < dmin, u, dmin);
                dmax = select(u > dmax, u, dmax);
                mean += u;
                sum += w;
#pragma GCC unroll 2
                for (int k = 0; k < NC; ++k) {
                    const Doubles dw = wide(half(w, k));
                    wx[k] = narrow(add_product(dx, dw, wide(wx[k])));
                    wy[k] = narrow(add_product(dy, dw, wide(wy[k])));
                    wz[k] = narrow(add_product(dz, dw, wide(wz[k])));
                }
            } else {
                // Some lane holds an excluded value: that lane keeps its sums.
                dmin = select(ok & (u < dmin), u, dmin);
                dmax = select(ok & (u > dmax), u, dmax);
                excluded -= ~ok;
                mean = select(ok, mean + u, mean);
                sum = select(ok, sum + w, sum);
#pragma GCC unroll 2
                for (int k = 0; k < NC; ++k) {
                    const Ints m = half(ok, k);
                    const Doubles dw = wide(half(w, k));
                    wx[k] = m ? narrow(add_product(dx, dw, wide(wx[k]))) : wx[k];
                    wy[k] = m ? narrow(add_product(dy, dw, wide(wy[k]))) : wy[k];
                    wz[k] = m ? narrow(add_product(dz, dw, wide(wz[k]))) : wz[k];
                }
            }
        }
        keep(dmin, dmax, mean, sum, excluded, wx, wy, wz, steps);
        cx_ = cx;
        cy_ = cy;
        cz_ = cz;
        maxz_ = maxz;
    }

private:
    // The sums of a call go back to the kernel; the valid values it counted
    // are its steps less the excluded ones.
    [[gnu::always_inline]] void keep(Floats8 dmin, Floats8 dmax, Floats8 mean, Floats8 sum, Ints8 excluded,
                                     const Floats* wx, const Floats* wy, const Floats* wz, std::int64_t steps) {
        dmin_ = dmin;
        dmax_ = dmax;
        mean_ = mean;
        sum_ = sum;
#pragma GCC unroll 2
        for (int k = 0; k < NC; ++k) {
            wx_[k] = wx[k];
            wy_[k] = wy[k];
            wz_[k] = wz[k];
            for (int l = 0; l < kLanes; ++l) cnt_[l][k] += steps - lane(excluded, k * kLanes + l);
        }
    }

    const Input& in_;
    Results& r_;
    const int j0_;
    const float* val_[2];
    Floats8 nul_{};
    // Lanes that never get an area still compute: they start from zeros.
    Floats8 dmin_{}, dmax_{}, mean_{}, sum_{};
    Floats wx_[NC] = {}, wy_[NC] = {}, wz_[NC] = {};
    Floats cx_{}, cy_{}, cz_{}, maxz_{};
    std::int64_t cnt_[kLanes][NC] = {};
};

// Sum of squared differences from the mean of NC components from j0 on.
// Single precision only, so eight lanes at a time.
template <int NC>
class SecondPass {
public:
    static constexpr int kLanes = 8;

    SecondPass(const NodeData* nd, Results& r, int j0) : r_(r), j0_(j0) {
        for (int k = 0; k < NC; ++k) {
            val_[k] = nd[j0 + k].value.get();
            nul_[k] = splat8(nd[j0 + k].null_value);
            dave_[k] = sv_[k] = Floats8{};
        }
    }

    void start(int l, std::int64_t a) {
        for (int k = 0; k < NC; ++k) {
            set_lane(dave_[k], l, r_.dave[a * r_.ncomp + j0_ + k]);
            set_lane(sv_[k], l, 0.0f);
        }
    }

    void finish(int l, std::int64_t a) {
        for (int k = 0; k < NC; ++k) r_.sv[a * r_.ncomp + j0_ + k] = lane(sv_[k], l);
    }

    void run(const std::int64_t* node, std::int64_t steps) {
        const float* v[NC][kLanes];
#pragma GCC unroll 8
        for (int l = 0; l < kLanes; ++l)
#pragma GCC unroll 4
            for (int k = 0; k < NC; ++k) v[k][l] = val_[k] + node[l];
        Floats8 sv[NC], dave[NC], nul[NC];
#pragma GCC unroll 4
        for (int k = 0; k < NC; ++k) {
            sv[k] = sv_[k];
            dave[k] = dave_[k];
            nul[k] = nul_[k];
        }
        const Floats8 eps = splat8(kNullEpsilon);
        for (std::int64_t i = 0; i < steps; ++i) {
#pragma GCC unroll 4
            for (int k = 0; k < NC; ++k) {
                const Floats8 u = gather8(v[k], i);
                const Ints8 m = magnitude(u - nul[k]) > eps;
                const Floats8 d = u - dave[k];
                sv[k] = select(m, sv[k] + d * d, sv[k]);
            }
        }
#pragma GCC unroll 4
        for (int k = 0; k < NC; ++k) sv_[k] = sv[k];
    }

private:
    Results& r_;
    const int j0_;
    const float* val_[NC];
    Floats8 nul_[NC], dave_[NC], sv_[NC];
};

// Calls pass(std::integral_constant<int, NC>, j0) for the components in
// groups of at most kGroup.
template <int kGroup, class Pass>
void by_groups(int ncomp, Pass&& pass) {
    static_assert(kGroup >= 1 && kGroup <= 4);
    for (int j0 = 0; j0 < ncomp; j0 += kGroup) {
        switch (std::min(ncomp - j0, kGroup)) {
            case 1: pass(std::integral_constant<int, 1>{}, j0); break;
            case 2: if constexpr (kGroup >= 2) pass(std::integral_constant<int, 2>{}, j0); break;
            case 3: if constexpr (kGroup >= 3) pass(std::integral_constant<int, 3>{}, j0); break;
            default: if constexpr (kGroup >= 4) pass(std::integral_constant<int, 4>{}, j0); break;
        }
    }
}

// Every area's count of valid values, minimum, maximum, sum of values, sum
// of |value| and weighted sums per component, its coordinate sums and its
// highest z. Two components at a time keep their sums in registers.
template <class Index>
void sums(const Input& in, const NodeData* nd, Results& r, const NodeIndex<Index>& ix) {
    by_groups<2>(r.ncomp, [&](auto group, int j0) {
        auto pass = [&](auto kernel) { walk(ix, kernel); };
        if (in.nspace == 3) {
            if (j0 == 0)
                pass(FirstPass<group(), true, true>(in, nd, r, j0));
            else
                pass(FirstPass<group(), false, true>(in, nd, r, j0));
        } else {
            if (j0 == 0)
                pass(FirstPass<group(), true, false>(in, nd, r, j0));
            else
                pass(FirstPass<group(), false, false>(in, nd, r, j0));
        }
    });
}

// Every area's sums of squared differences from its means (r.dave).
template <class Index>
void deviations(const NodeData* nd, Results& r, const NodeIndex<Index>& ix) {
    by_groups<4>(r.ncomp, [&](auto group, int j0) {
        SecondPass<group()> kernel(nd, r, j0);
        walk(ix, kernel);
    });
}
