#!/usr/bin/python3
"""Checks the monitoring examples against what the flasher exports.

    check-dashboard.py DASHBOARD [--metrics-file FILE] [--metrics-url URL]
                       [--prometheus-config FILE] [--promtool PATH]

Every query of the Grafana dashboard (panels, panels inside rows,
annotations, template variables) must name only metrics that the given
/metrics body exports, or that Prometheus adds to every target (up, ...).
With promtool, each query must also parse as PromQL (Grafana's variables
stood in for), the body must pass `promtool check metrics` and the scrape
configuration `promtool check config`.

Exit status: 0 when all holds, 1 listing what does not, 2 for bad usage or
an input that cannot be read, 77 when all that could be checked holds but
promtool is missing.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

SKIP = 77

# Series Prometheus writes for every target it scrapes.
SCRAPE_SERIES = {
    "up", "scrape_duration_seconds", "scrape_samples_scraped",
    "scrape_samples_post_metric_relabeling", "scrape_series_added",
}

AGGREGATIONS = {
    "sum", "min", "max", "avg", "group", "stddev", "stdvar", "count",
    "count_values", "bottomk", "topk", "quantile", "limitk", "limit_ratio",
}

FUNCTIONS = {
    "abs", "absent", "absent_over_time", "acos", "acosh", "asin", "asinh",
    "atan", "atanh", "avg_over_time", "ceil", "changes", "clamp", "clamp_max",
    "clamp_min", "cos", "cosh", "count_over_time", "day_of_month",
    "day_of_week", "day_of_year", "days_in_month", "deg", "delta", "deriv",
    "double_exponential_smoothing", "exp", "floor", "histogram_avg",
    "histogram_count", "histogram_fraction", "histogram_quantile",
    "histogram_stddev", "histogram_stdvar", "histogram_sum", "holt_winters",
    "hour", "idelta", "increase", "info", "irate", "label_join",
    "label_replace", "last_over_time", "ln", "log10", "log2", "mad_over_time",
    "max_over_time", "min_over_time", "minute", "month", "pi",
    "predict_linear", "present_over_time", "quantile_over_time", "rad",
    "rate", "resets", "round", "scalar", "sgn", "sin", "sinh", "sort",
    "sort_by_label", "sort_by_label_desc", "sort_desc", "sqrt",
    "stddev_over_time", "stdvar_over_time", "sum_over_time", "tan", "tanh",
    "time", "timestamp", "vector", "year",
    # The @ modifier's preprocessors: `@ start()`, `@ end()`.
    "start", "end",
}

# Followed by a list of label names in parentheses, not by an expression.
LABEL_LISTS = {"by", "without", "on", "ignoring", "group_left", "group_right"}

KEYWORDS = LABEL_LISTS | {"and", "or", "unless", "bool", "offset", "atan2", "inf", "nan"}

# Grafana's own variables, and what stands in for each when a query is
# parsed: a range for the durations, a number for the rest.
GRAFANA_VARIABLES = {
    "__range": "1h", "__rate_interval": "1m", "__interval": "1m",
    "__range_s": "3600", "__range_ms": "3600000", "__interval_ms": "60000",
    "__rate_interval_ms": "60000", "__from": "1700000000000", "__to": "1700003600000",
}

TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<comment>\#[^\n]*)
  | (?P<string>"(?:\\.|[^"\\])*"|'(?:\\.|[^'\\])*'|`[^`]*`)
  | (?P<number>(?:\d|\.\d)[\w.]*)
  | (?P<ident>[A-Za-z_:][\w:]*)
  | (?P<punct>[{}()\[\],])
  | (?P<op>=~|!~|!=|==|<=|>=|[-+*/%^<>=@])
""", re.VERBOSE)


class CheckError(Exception):
    """An input that cannot be read at all."""


def tokens(expr):
    pos = 0
    out = []
    while pos < len(expr):
        m = TOKEN.match(expr, pos)
        if not m:
            raise ValueError(f"unexpected {expr[pos:pos + 10]!r} at {pos}")
        pos = m.end()
        if m.lastgroup not in ("space", "comment"):
            out.append((m.lastgroup, m.group()))
    return out


def promql_names(expr):
    """Returns (metric names, unknown function names) used in a PromQL expression."""
    names, unknown = set(), set()
    toks = tokens(expr)
    i = 0
    while i < len(toks):
        kind, text = toks[i]
        nxt = toks[i + 1][1] if i + 1 < len(toks) else ""
        if text == "{":
            # Label matchers: label names, except a name given as __name__="x".
            j = i + 1
            while j < len(toks) and toks[j][1] != "}":
                if (toks[j][1] == "__name__" and j + 2 < len(toks) and toks[j + 1][1] == "="
                        and toks[j + 2][0] == "string"):
                    names.add(toks[j + 2][1][1:-1])
                j += 1
            i = j + 1
            continue
        if text == "[":
            # A range or subquery: durations only.
            while i < len(toks) and toks[i][1] != "]":
                i += 1
            i += 1
            continue
        if kind == "ident":
            word = text.lower()
            if word in LABEL_LISTS and nxt == "(":
                while i < len(toks) and toks[i][1] != ")":
                    i += 1
            elif word in KEYWORDS:
                pass
            elif text in AGGREGATIONS and nxt.lower() in ("by", "without"):
                pass  # sum by (label) (...)
            elif nxt == "(":
                if text not in FUNCTIONS and text not in AGGREGATIONS:
                    unknown.add(text)
            else:
                names.add(text)
        i += 1
    return names, unknown


def split_call(query, function):
    """The arguments of `function(...)` when the query is that call, else None."""
    m = re.fullmatch(rf"\s*{function}\s*\((.*)\)\s*", query, re.DOTALL)
    if not m:
        return None
    args, depth, start = [], 0, 0
    inner = m.group(1)
    for k, ch in enumerate(inner):
        if ch in "({[":
            depth += 1
        elif ch in ")}]":
            depth -= 1
        elif ch == "," and depth == 0:
            args.append(inner[start:k].strip())
            start = k + 1
    args.append(inner[start:].strip())
    return [a for a in args if a]


def variable_query_expr(query):
    """The PromQL inside one of Grafana's variable queries, or None when it names no series."""
    args = split_call(query, "label_values")
    if args is not None:
        # label_values(label) asks every series; label_values(selector, label) one.
        return args[0] if len(args) == 2 else None
    args = split_call(query, "label_names")
    if args is not None:
        return args[0] if args else None
    args = split_call(query, "query_result")
    if args is not None:
        return ",".join(args)
    if split_call(query, "metrics") is not None:
        return None
    return query


def panels(container):
    for p in container.get("panels", []):
        yield p
        # A collapsed row keeps its panels inside it.
        yield from panels(p)
    for row in container.get("rows", []):  # the old, pre-5.0 layout
        yield from panels(row)


def dashboard_queries(dash):
    """(where, expression, is_variable_query) for every query of a dashboard model."""
    found = []
    for p in panels(dash):
        where = f"panel {p.get('title') or p.get('id')!r}"
        for t in p.get("targets", []):
            ref = t.get("refId", "?")
            if isinstance(t.get("expr"), str) and t["expr"].strip():
                found.append((f"{where} query {ref}", t["expr"], False))
            else:
                # A Prometheus target with its query elsewhere would escape the check.
                found.append((f"{where} query {ref}", None, False))
    for a in dash.get("annotations", {}).get("list", []):
        if isinstance(a.get("expr"), str):
            found.append((f"annotation {a.get('name')!r}", a["expr"], False))
    for v in dash.get("templating", {}).get("list", []):
        if v.get("type") != "query":
            continue
        q = v.get("query")
        if isinstance(q, dict):
            q = q.get("query")
        if isinstance(q, str) and q.strip():
            found.append((f"variable {v.get('name')!r}", q, True))
    return found


def variables(dash):
    """Name -> what stands in for it when a query is parsed."""
    out = dict(GRAFANA_VARIABLES)
    for v in dash.get("templating", {}).get("list", []):
        name = v.get("name")
        if not name:
            continue
        current = (v.get("current") or {}).get("value")
        if isinstance(current, list):
            current = current[0] if current else None
        if v.get("type") in ("interval", "custom", "constant", "textbox") and current:
            out[name] = str(current)
        else:
            # Query variables stand in label values, inside a matcher's string.
            out[name] = v.get("allValue") or "x"
    return out


VARIABLE = re.compile(r"\$\{(\w+)(?::[^}]*)?\}|\[\[(\w+)(?::[^\]]*)?\]\]|\$(\w+)")


def substitute(expr, values):
    """The expression with Grafana's variables replaced, and the names it used that no one defines."""
    undefined = set()

    def one(m):
        name = m.group(1) or m.group(2) or m.group(3)
        if name not in values:
            undefined.add(name)
            return "x"
        return values[name]

    return VARIABLE.sub(one, expr), undefined


def exported_names(text):
    """Metric names in a Prometheus or OpenMetrics text exposition."""
    names = set()
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        m = re.match(r"#\s*(TYPE|HELP)\s+([A-Za-z_:][\w:]*)(?:\s+(\w+))?", line)
        if m:
            # A declared family counts though it has no series yet (a counter
            # whose labels have not happened).
            name, kind = m.group(2), m.group(3) if m.group(1) == "TYPE" else None
            names.add(name)
            if kind == "histogram":
                names.update({name + "_bucket", name + "_sum", name + "_count"})
            elif kind == "summary":
                names.update({name + "_sum", name + "_count"})
            elif kind == "counter" and not name.endswith("_total"):
                names.add(name + "_total")  # OpenMetrics names the family without it
            continue
        if line.startswith("#"):
            continue
        m = re.match(r"([A-Za-z_:][\w:]*)\s*[{\s]", line + " ")
        if m:
            names.add(m.group(1))
    return names


def read_metrics(args):
    bodies = []
    if args.metrics_file:
        try:
            with open(args.metrics_file, encoding="utf-8") as f:
                bodies.append((args.metrics_file, f.read()))
        except OSError as e:
            raise CheckError(f"{args.metrics_file}: {e.strerror}")
    if args.metrics_url:
        req = urllib.request.Request(args.metrics_url, headers={"Accept": "text/plain;version=0.0.4"})
        try:
            with urllib.request.urlopen(req, timeout=10) as r:
                bodies.append((args.metrics_url, r.read().decode("utf-8")))
        except Exception as e:  # refused, timed out, an HTTP error status
            raise CheckError(f"{args.metrics_url}: {e}")
    return bodies


def run_promtool(promtool, argv, stdin=None):
    r = subprocess.run([promtool] + argv, input=stdin, capture_output=True, text=True)
    return r.returncode, (r.stdout + r.stderr).strip()


def check_syntax(promtool, queries):
    """Each query through promtool's PromQL parser, as a recording rule."""
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rules.yml")
        for where, expr in queries:
            with open(path, "w", encoding="utf-8") as f:
                # A JSON string is a YAML double-quoted scalar.
                f.write("groups:\n  - name: dashboard\n    rules:\n"
                        f"      - record: dashboard:query\n        expr: {json.dumps(expr)}\n")
            rc, out = run_promtool(promtool, ["check", "rules", path])
            if rc != 0:
                problems.append(f"{where}: not PromQL: {expr!r}\n    {out.replace(chr(10), chr(10) + '    ')}")
    return problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("dashboard", help="the Grafana dashboard's JSON model")
    ap.add_argument("--metrics-file", help="a /metrics body saved to a file")
    ap.add_argument("--metrics-url", help="a running station's /metrics")
    ap.add_argument("--prometheus-config", help="a scrape configuration for promtool check config")
    ap.add_argument("--promtool", default=shutil.which("promtool"), help="promtool (default: from PATH)")
    args = ap.parse_args(argv)
    if not args.metrics_file and not args.metrics_url:
        ap.error("give --metrics-file or --metrics-url (or both)")
    promtool = args.promtool if args.promtool and os.access(args.promtool, os.X_OK) else None

    try:
        with open(args.dashboard, encoding="utf-8") as f:
            dash = json.load(f)
        bodies = read_metrics(args)
    except (OSError, ValueError, CheckError) as e:
        print(f"check-dashboard: {e}", file=sys.stderr)
        return 2
    if "dashboard" in dash and "panels" not in dash:
        dash = dash["dashboard"]  # the API's wrapping

    problems = []
    values = variables(dash)
    queries = dashboard_queries(dash)
    if not queries:
        problems.append("the dashboard has no queries")
    used = {}  # metric name -> where
    parsed = []
    for where, expr, is_variable in queries:
        if expr is None:
            problems.append(f"{where}: no PromQL expression (expr)")
            continue
        plain, undefined = substitute(expr, values)
        for name in sorted(undefined):
            problems.append(f"{where}: variable ${name} is not defined")
        if is_variable:
            plain = variable_query_expr(plain)
            if plain is None:
                continue
        try:
            names, unknown = promql_names(plain)
        except ValueError as e:
            problems.append(f"{where}: cannot read {expr!r}: {e}")
            continue
        for fn in sorted(unknown):
            problems.append(f"{where}: {fn}() is no PromQL function")
        if not names:
            # Every query here is about the stations: one naming no metric is
            # a fault, or one this check cannot see into.
            problems.append(f"{where}: names no metric: {expr!r}")
        for name in names:
            used.setdefault(name, []).append(where)
        parsed.append((where, plain))

    for source, body in bodies:
        exported = exported_names(body) | SCRAPE_SERIES
        for name in sorted(set(used) - exported):
            problems.append(f"{name}: not exported by {source}; used in " + ", ".join(used[name]))

    if promtool:
        problems += check_syntax(promtool, parsed)
        for source, body in bodies:
            rc, out = run_promtool(promtool, ["check", "metrics"], stdin=body)
            if rc != 0:
                problems.append(f"{source}: promtool check metrics:\n    " + out.replace("\n", "\n    "))
        if args.prometheus_config:
            rc, out = run_promtool(promtool, ["check", "config", args.prometheus_config])
            if rc != 0:
                problems.append(f"{args.prometheus_config}: promtool check config:\n    "
                                + out.replace("\n", "\n    "))

    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} problem(s) in {args.dashboard}")
        return 1
    print(f"{len(queries)} queries name {len(used)} metrics, all exported: " + " ".join(sorted(used)))
    if not promtool:
        print("promtool not found (Debian package prometheus): queries, metrics and configuration not checked by it")
        return SKIP
    return 0


if __name__ == "__main__":
    sys.exit(main())
