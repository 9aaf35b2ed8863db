// Codec and pool costs: a full reply of domain records, and pool get+put.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "shared/packet/packet.h"
#include "shared/packet/packet_pool.h"
#include "shared/packet/records.h"

namespace {

std::vector<DomainRecord> TypicalRecords()
{
    std::vector<DomainRecord> records;
    for (uint32_t i = 0; i < 100; ++i) {
        DomainRecord r;
        r.domain = "home" + std::to_string(i) + ".example.org";
        r.hostid = 1000 + i;
        r.data = "203.0.113." + std::to_string(i);
        r.enabled = static_cast<uint8_t>(i & 1);
        records.push_back(r);
    }
    return records;
}

// Reply 0: header, ok byte, as many records as fit in one datagram.
int EncodeReply(UdpOutPacket& out, const std::vector<DomainRecord>& records)
{
    PacketHeader::Reply(0).Write(out);
    out.WriteU8(1);
    return WriteDomainList(out, records);
}

void BM_EncodeFullReply(benchmark::State& state)
{
    const std::vector<DomainRecord> records = TypicalRecords();
    int count = 0;
    for (auto _ : state) {
        UdpOutPacket out;
        count = EncodeReply(out, records);
        benchmark::DoNotOptimize(out.Data());
        benchmark::ClobberMemory();
    }
    state.counters["records"] = count;
}
BENCHMARK(BM_EncodeFullReply);

void BM_DecodeFullReply(benchmark::State& state)
{
    UdpOutPacket out;
    EncodeReply(out, TypicalRecords());
    state.counters["bytes"] = out.Size();
    for (auto _ : state) {
        UdpInPacket in;
        in.SetData(out.Data(), out.Size());
        in.ReadU8();
        std::vector<DomainRecord> list = ReadDomainList(in);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_DecodeFullReply);

// A receiver that keeps its list: texts reuse their storage, no allocation per datagram.
void BM_DecodeFullReplyIntoKeptList(benchmark::State& state)
{
    UdpOutPacket out;
    EncodeReply(out, TypicalRecords());
    std::vector<DomainRecord> list;
    for (auto _ : state) {
        UdpInPacket in;
        in.SetData(out.Data(), out.Size());
        in.ReadU8();
        ReadDomainList(in, list);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_DecodeFullReplyIntoKeptList);

void BM_EncodeDecodeFullReply(benchmark::State& state)
{
    const std::vector<DomainRecord> records = TypicalRecords();
    for (auto _ : state) {
        UdpOutPacketPtr out(UdpOutPacket::Create());
        EncodeReply(*out, records);
        UdpInPacketPtr in(UdpInPacket::Create());
        in->SetData(out->Data(), out->Size());
        in->ReadU8();
        std::vector<DomainRecord> list = ReadDomainList(*in);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_EncodeDecodeFullReply);

void BM_EncodeDecodeFullReplyIntoKeptList(benchmark::State& state)
{
    const std::vector<DomainRecord> records = TypicalRecords();
    std::vector<DomainRecord> list;
    for (auto _ : state) {
        UdpOutPacketPtr out(UdpOutPacket::Create());
        EncodeReply(*out, records);
        UdpInPacketPtr in(UdpInPacket::Create());
        in->SetData(out->Data(), out->Size());
        in->ReadU8();
        ReadDomainList(*in, list);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_EncodeDecodeFullReplyIntoKeptList);

void BM_PoolGetPut(benchmark::State& state)
{
    PacketPool pool(sizeof(UdpInPacket));
    pool.Put(pool.Get());
    for (auto _ : state) {
        void* p = pool.Get();
        benchmark::DoNotOptimize(p);
        pool.Put(p);
    }
}
BENCHMARK(BM_PoolGetPut);

void BM_PacketCreateRelease(benchmark::State& state)
{
    for (auto _ : state) {
        UdpOutPacket* p = UdpOutPacket::Create();
        benchmark::DoNotOptimize(p);
        p->Release();
    }
}
BENCHMARK(BM_PacketCreateRelease);

// Both threads share one pool, as the GUI's receive and window threads do.
PacketPool& SharedPool()
{
    static PacketPool* pool = new PacketPool(sizeof(UdpInPacket));
    return *pool;
}

void BM_PoolGetPutContended(benchmark::State& state)
{
    PacketPool& pool = SharedPool();
    for (auto _ : state) {
        void* p = pool.Get();
        benchmark::DoNotOptimize(p);
        pool.Put(p);
    }
}
BENCHMARK(BM_PoolGetPutContended)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
