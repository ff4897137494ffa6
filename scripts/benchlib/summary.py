"""The Markdown tables of scripts/bench, made from its raw result lines.

A raw line is space-separated NAME=VALUE fields, for example

    round=1 name=bqx-mode1 count=5000 size=100 ... rc=0 msgs_per_s=6012
        mb_per_s=0.60 client_cpu_s=0.210 ... transport=plain broker_cpu_s=0.95
        delivered=5000

where the first field of a name counts. A run whose rc is not 0 is counted
(and named in the tables) but not measured.
"""

from __future__ import annotations

import statistics
from dataclasses import dataclass, field


def parse_fields(line: str) -> dict[str, str]:
    """The NAME=VALUE words of a line; the first of a name wins."""
    fields: dict[str, str] = {}
    for word in line.split():
        name, equals, value = word.partition("=")
        if equals and name not in fields:
            fields[name] = value
    return fields


def _number(fields: dict[str, str], name: str) -> float:
    """A numeric field; a missing or unreadable one is 0, as in a failed run."""
    try:
        return float(fields.get(name, ""))
    except ValueError:
        return 0.0


def _optional(fields: dict[str, str], name: str) -> float | None:
    return _number(fields, name) if name in fields else None


@dataclass(frozen=True)
class Run:
    """One raw line: a timed run of one client."""

    round: int
    name: str
    size: int
    count: int
    rc: str
    codec: str  # consume runs only; "" for produce runs
    transport: str
    msgs_per_s: float
    mb_per_s: float
    client_cpu_s: float
    broker_cpu_s: float
    delivered: int | None  # produce runs only: what the topic's end offsets gained
    p50_us: float | None  # the synchronous produce settings only
    p99_us: float | None
    partitions: int = 0  # consume runs: the topic's partitions (0: not told)
    peak_rss_kb: float | None = None  # consume runs: the client's peak resident memory
    stored_ratio: float | None = None  # compression runs: segment bytes grown / value bytes
    seconds: float | None = None  # the run's wall time
    first_s: float | None = None  # consume runs: the time to the first message

    @classmethod
    def parse(cls, line: str) -> Run:
        fields = parse_fields(line)
        delivered = fields.get("delivered")
        return cls(
            round=int(_number(fields, "round")),
            name=fields.get("name", ""),
            size=int(_number(fields, "size")),
            count=int(_number(fields, "count")),
            rc=fields.get("rc", ""),
            codec=fields.get("codec", ""),
            transport=fields.get("transport", ""),
            msgs_per_s=_number(fields, "msgs_per_s"),
            mb_per_s=_number(fields, "mb_per_s"),
            client_cpu_s=_number(fields, "client_cpu_s"),
            broker_cpu_s=_number(fields, "broker_cpu_s"),
            delivered=int(delivered) if delivered is not None else None,
            p50_us=_optional(fields, "p50_us"),
            p99_us=_optional(fields, "p99_us"),
            partitions=int(_number(fields, "partitions")),
            peak_rss_kb=_optional(fields, "peak_rss_kb"),
            stored_ratio=_optional(fields, "stored_ratio"),
            seconds=_optional(fields, "seconds"),
            first_s=_optional(fields, "first_s"),
        )

    @property
    def ok(self) -> bool:
        return self.rc == "0"

    @property
    def client_us_per_msg(self) -> float:
        return self.client_cpu_s * 1e6 / self.count

    @property
    def broker_us_per_msg(self) -> float:
        return self.broker_cpu_s * 1e6 / self.count

    @property
    def steady_rate(self) -> float | None:
        """Consume runs: messages per second after the first message, which
        leaves out the group join and the first Fetch."""
        if self.seconds is None or self.first_s is None or self.seconds <= self.first_s:
            return None
        return (self.count - 1) / (self.seconds - self.first_s)


def read_runs(path: str) -> list[Run]:
    with open(path, encoding="utf-8") as lines:
        return [Run.parse(line) for line in lines if line.strip()]


@dataclass
class Group:
    """The runs of one client setting (one table row): counts and samples."""

    per_run: int = 0
    sent: int = 0
    delivered: int = 0
    failed: int = 0
    rates: list[float] = field(default_factory=list)
    mbs: list[float] = field(default_factory=list)
    client_us: list[float] = field(default_factory=list)
    broker_us: list[float] = field(default_factory=list)
    p50: list[float] = field(default_factory=list)
    p99: list[float] = field(default_factory=list)
    round_rate: dict[int, float] = field(default_factory=dict)
    round_cpu: dict[int, float] = field(default_factory=dict)
    rss_kb: list[float] = field(default_factory=list)
    round_steady: dict[int, float] = field(default_factory=dict)

    def add(self, run: Run) -> None:
        self.per_run = run.count
        self.sent += run.count
        self.delivered += run.delivered or 0
        if not run.ok:
            self.failed += 1
            return
        self.rates.append(run.msgs_per_s)
        self.mbs.append(run.mb_per_s)
        self.client_us.append(run.client_us_per_msg)
        self.broker_us.append(run.broker_us_per_msg)
        if run.p50_us is not None:
            self.p50.append(run.p50_us)
            self.p99.append(run.p99_us or 0.0)
        self.round_rate[run.round] = run.msgs_per_s
        self.round_cpu[run.round] = run.client_us_per_msg
        if run.peak_rss_kb is not None:
            self.rss_kb.append(run.peak_rss_kb)
        if run.steady_rate is not None:
            self.round_steady[run.round] = run.steady_rate

    @property
    def measured(self) -> bool:
        return bool(self.rates)


def group_runs(runs: list[Run], key) -> dict:
    """Groups in the order their first run appears."""
    groups: dict = {}
    for run in runs:
        groups.setdefault(key(run), Group()).add(run)
    return groups


# ---- formatting ------------------------------------------------------------------


def label(size: int) -> str:
    return {10240: "10 KiB", 1024: "1 KiB"}.get(size, f"{size} B")


def micros(value: float) -> str:
    """CPU per message: two decimals below 10 us, where batching lands."""
    return f"{value:.2f}" if value < 10 else f"{value:.1f}"


def quotient(numerator: float, denominator: float) -> float:
    return numerator / denominator if denominator > 0 else 0.0


def with_range(middle: float, values: list[float], form: str) -> str:
    """MIDDLE (LOWEST-HIGHEST) of the values; 0 where there are none."""
    low, high = (min(values), max(values)) if values else (0.0, 0.0)
    return f"{middle:{form}} ({low:{form}}-{high:{form}})"


def median_range(values: list[float], form: str) -> str:
    return with_range(statistics.median(values), values, form)


def round_ratios(ours: Group, theirs: Group) -> tuple[list[float], list[float]]:
    """Per round in which both sides were measured: msgs/s and CPU/msg ratios."""
    rates, cpus = [], []
    for number, rate in ours.round_rate.items():
        their_rate = theirs.round_rate.get(number, 0.0)
        their_cpu = theirs.round_cpu.get(number, 0.0)
        if their_rate > 0 and their_cpu > 0:
            rates.append(rate / their_rate)
            cpus.append(ours.round_cpu[number] / their_cpu)
    return rates, cpus


def median_ratios(ours: Group, theirs: Group) -> tuple[float, float]:
    """msgs/s and client CPU/msg, ours / theirs, of the medians."""
    rate = quotient(statistics.median(ours.rates), statistics.median(theirs.rates))
    cpu = quotient(statistics.median(ours.client_us), statistics.median(theirs.client_us))
    return rate, cpu


# ---- produce ---------------------------------------------------------------------


@dataclass(frozen=True)
class Pair:
    """A row of the ratio table: bqx's setting against librdkafka's."""

    ours: str
    theirs: str
    with_cpu: bool  # the target includes CPU per message
    cpu_limit: float = 1.0  # the largest CPU/msg ratio that meets the target

    @property
    def target(self) -> str:
        return f"msgs/s >= 1.0, CPU/msg <= {self.cpu_limit:.1f}" if self.with_cpu else "msgs/s >= 1.0"


def produce_pairs(first_mode4_window: int) -> list[Pair]:
    return [
        Pair("bqx-mode1", "rdkafka-sync", False),
        Pair("bqx-mode0-window100", "rdkafka-single", False),
        Pair(f"bqx-mode4-window{first_mode4_window}", "rdkafka-defaults", True),
    ]


def idempotent_pairs(partition_counts: tuple[int, ...]) -> list[Pair]:
    """Mode 4 (idempotent, window 5) against librdkafka's idempotent producer
    with its default batching, per topic size."""
    return [Pair(f"bqx-mode4-window5-p{n}", f"rdkafka-idempotent-p{n}", True, 0.5)
            for n in partition_counts]


def compress_pairs(codecs: tuple[str, ...], window: int) -> list[Pair]:
    """Mode 4 with compression.type against librdkafka's defaults with the
    same compression.codec, per codec."""
    return [Pair(f"bqx-mode4-window{window}-{codec}", f"rdkafka-{codec}", True, 0.7)
            for codec in codecs]


def stored_ratio_table(runs: list[Run]) -> list[str]:
    """Per client setting: what the topic's log segments grew by against the
    values' bytes, median and range over the rounds."""
    ratios: dict[str, list[float]] = {}
    for run in runs:
        if run.ok and run.stored_ratio is not None:
            ratios.setdefault(run.name, []).append(run.stored_ratio)
    lines = ["| client, setting | stored bytes / value bytes median (min-max) |", "|---|---|"]
    lines += [f"| {name} | {median_range(values, '.3f')} |" for name, values in ratios.items()]
    return lines


def produce_row(size: int, name: str, group: Group) -> str:
    outcome = f"{group.delivered}/{group.sent}"
    if group.failed:
        outcome += f" ({group.failed} failed)"
    if not group.measured:
        return f"| {label(size)} | {name} | {group.per_run} | failed | | | | | {outcome} |"
    latency = "-"
    if group.p50:
        latency = f"{statistics.median(group.p50):.0f} / {statistics.median(group.p99):.0f}"
    return (
        f"| {label(size)} | {name} | {group.per_run} | {median_range(group.rates, '.0f')} | "
        f"{statistics.median(group.mbs):.2f} | {micros(statistics.median(group.client_us))} | "
        f"{latency} | {micros(statistics.median(group.broker_us))} | {outcome} |"
    )


def pair_row(size: int, pair: Pair, ours: Group, theirs: Group) -> str:
    start = f"| {label(size)} | {pair.ours} | {pair.theirs} |"
    if not ours.measured or not theirs.measured:
        return f"{start} failed | failed | {pair.target} | no |"
    rate, cpu = median_ratios(ours, theirs)
    rates, cpus = round_ratios(ours, theirs)
    met = rate >= 1 and (not pair.with_cpu or cpu <= pair.cpu_limit)
    return (
        f"{start} {with_range(rate, rates, '.2f')} | {with_range(cpu, cpus, '.2f')} | "
        f"{pair.target} | {'yes' if met else 'no'} |"
    )


def produce_tables(runs: list[Run], pairs: list[Pair]) -> list[str]:
    """One row per size and client setting: median and range of msgs/s over
    the rounds, median MB/s, CPU microseconds per message of client and
    broker, median latency percentiles of the synchronous settings; then,
    per size and pair, the ratios bqx / librdkafka of the medians with the
    range of the rounds' own ratios (a pair's two runs are neighbours in
    each round)."""
    groups = group_runs(runs, lambda run: (run.size, run.name))
    lines = [
        "| size | client, setting | msgs per run | msgs/s median (min-max) | MB/s |"
        " client CPU us/msg | latency p50 / p99 us | broker CPU us/msg | delivered/sent |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    lines += [produce_row(size, name, group) for (size, name), group in groups.items()]
    lines += [
        "",
        "| size | bqx | librdkafka | msgs/s bqx/librdkafka (rounds) |"
        " client CPU/msg bqx/librdkafka (rounds) | target | met |",
        "|---|---|---|---|---|---|---|",
    ]
    for size in sorted({size for size, _ in groups}):
        for pair in pairs:
            ours, theirs = groups.get((size, pair.ours)), groups.get((size, pair.theirs))
            if ours is not None and theirs is not None:
                lines.append(pair_row(size, pair, ours, theirs))
    return lines


# ---- consume ---------------------------------------------------------------------


def consume_row(size: int, codec: str, partitions: int, name: str, group: Group) -> str:
    start = f"| {label(size)} | {codec} | {partitions or ''} | {name} |"
    if not group.measured:
        return f"{start} failed | | | | {group.failed} |"
    rss = f"{max(group.rss_kb) / 1024:.0f}" if group.rss_kb else ""
    return (
        f"{start} {median_range(group.rates, '.0f')} | {statistics.median(group.mbs):.2f} | "
        f"{micros(statistics.median(group.client_us))} | {rss} | {group.failed} |"
    )


# The consume comparisons: bqx's window 1000 against librdkafka's consumer
# and against kcat.
CONSUME_PAIRS = (("bqx-window1000", "rdkafka-consume"), ("bqx-window1000", "kcat"))


def consume_ratio_row(topic: tuple, ours: Group | None, theirs: Group | None) -> str:
    size, codec, partitions = topic
    start = f"| {label(size)} | {codec} | {partitions or ''} |"
    if ours is None or theirs is None or not ours.measured or not theirs.measured:
        return f"{start} failed | failed |"
    rate, cpu = median_ratios(ours, theirs)
    rates, cpus = round_ratios(ours, theirs)
    steady = [value / theirs.round_steady[number] for number, value in ours.round_steady.items()
              if theirs.round_steady.get(number, 0.0) > 0]
    after_first = ""
    if ours.round_steady and theirs.round_steady:
        middle = quotient(statistics.median(ours.round_steady.values()),
                          statistics.median(theirs.round_steady.values()))
        after_first = f" {with_range(middle, steady, '.2f')} |"
    return (f"{start} {with_range(rate, rates, '.2f')} | {with_range(cpu, cpus, '.2f')} |"
            f"{after_first}")


def consume_tables(runs: list[Run]) -> list[str]:
    """One row per topic and client (peak memory: the largest of the runs'
    peak resident sizes), then per topic the ratios bqx window 1000 /
    librdkafka's consumer and / kcat of the medians, with the range of the
    rounds' own ratios."""
    groups = group_runs(runs, lambda run: (run.size, run.codec, run.partitions, run.name))
    lines = [
        "| size | codec | partitions | client, setting | msgs/s median (min-max) | MB/s"
        " | client CPU us/msg | peak RSS MiB | failed runs |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    lines += [consume_row(*key, group) for key, group in groups.items()]
    topics = dict.fromkeys(key[:3] for key in groups)
    for ours, theirs in CONSUME_PAIRS:
        if not any(key[3] == theirs for key in groups):
            continue
        # kcat reports no time to its first message.
        steady = theirs != "kcat"
        lines += [
            "",
            f"| size | codec | partitions | msgs/s {ours}/{theirs} (rounds) |"
            f" client CPU/msg {ours}/{theirs} (rounds) |"
            + (f" msgs/s after the first message {ours}/{theirs} (rounds) |" if steady else ""),
            "|---|---|---|---|---|" + ("---|" if steady else ""),
        ]
        lines += [consume_ratio_row(topic, groups.get((*topic, ours)), groups.get((*topic, theirs)))
                  for topic in topics]
    return lines


# ---- TLS -------------------------------------------------------------------------


@dataclass
class TransportSamples:
    """msgs/s and client CPU us/msg of one client setting, per transport."""

    rates: dict[str, list[float]] = field(default_factory=dict)
    cpus: dict[str, list[float]] = field(default_factory=dict)
    failed: int = 0

    def median_rate(self, transport: str) -> float | None:
        values = self.rates.get(transport)
        return statistics.median(values) if values else None

    def median_cpu(self, transport: str) -> float | None:
        values = self.cpus.get(transport)
        return statistics.median(values) if values else None


def ssl_failed(run: Run, what: str) -> bool:
    return not run.ok or (what == "produce" and run.delivered != run.count)


def ratio_text(numerator: float | None, denominator: float | None) -> str:
    """N / D with two decimals; "-" where a side failed on every round."""
    if numerator is None or denominator is None or denominator <= 0:
        return "-"
    return f"{numerator / denominator:.2f}"


def whole(value: float) -> str:
    return f"{value:.0f}"


def optional_text(value: float | None, form) -> str:
    return "-" if value is None else form(value)


def ssl_row(size: int, what: str, name: str, samples: TransportSamples) -> str:
    rate_plain, rate_ssl = samples.median_rate("plain"), samples.median_rate("ssl")
    cpu_plain, cpu_ssl = samples.median_cpu("plain"), samples.median_cpu("ssl")
    return (
        f"| {label(size)} | {what} | {name} | {optional_text(rate_plain, whole)} | "
        f"{optional_text(rate_ssl, whole)} | {ratio_text(rate_ssl, rate_plain)} | "
        f"{optional_text(cpu_plain, micros)} | {optional_text(cpu_ssl, micros)} | "
        f"{ratio_text(cpu_ssl, cpu_plain)} | {samples.failed} |"
    )


def ssl_tables(runs: list[Run]) -> list[str]:
    """Per size, direction and client setting: the medians over PLAINTEXT and
    SSL, SSL / PLAINTEXT, and over SSL bqx / librdkafka (producing) or
    bqx / kcat (consuming) of the medians."""
    groups: dict[tuple[int, str, str], TransportSamples] = {}
    for run in runs:
        what = "consume" if run.codec else "produce"
        samples = groups.setdefault((run.size, what, run.name), TransportSamples())
        if ssl_failed(run, what):
            samples.failed += 1
            continue
        samples.rates.setdefault(run.transport, []).append(run.msgs_per_s)
        samples.cpus.setdefault(run.transport, []).append(run.client_us_per_msg)
    lines = [
        "| size | what | client, setting | msgs/s PLAINTEXT | msgs/s SSL | SSL/PLAINTEXT |"
        " client CPU us/msg PLAINTEXT | client CPU us/msg SSL | SSL/PLAINTEXT | failed runs |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    lines += [ssl_row(*key, samples) for key, samples in groups.items()]
    lines += ["", "| size | over SSL | msgs/s ratio | client CPU/msg ratio |", "|---|---|---|---|"]
    comparisons = [
        ("produce", "bqx-mode4-window1", "rdkafka-defaults", "bqx mode 4 / librdkafka defaults"),
        ("consume", "bqx-window1000", "kcat", "bqx consume window 1000 / kcat"),
    ]
    for size in (100, 10240):
        for what, ours_name, theirs_name, text in comparisons:
            ours = groups.get((size, what, ours_name), TransportSamples())
            theirs = groups.get((size, what, theirs_name), TransportSamples())
            lines.append(
                f"| {label(size)} | {text} | "
                f"{ratio_text(ours.median_rate('ssl'), theirs.median_rate('ssl'))} | "
                f"{ratio_text(ours.median_cpu('ssl'), theirs.median_cpu('ssl'))} |"
            )
    return lines
