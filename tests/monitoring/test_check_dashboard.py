#!/usr/bin/python3
"""What check_dashboard.py reads out of PromQL, dashboards and /metrics bodies.

Its own run against the real dashboard passes when it finds nothing wrong,
which it would also do if it found nothing at all; these cases pin what it
must find.
"""

import contextlib
import io
import json
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_dashboard as cd  # noqa: E402


class PromqlNames(unittest.TestCase):
    def names(self, expr):
        return cd.promql_names(expr)[0]

    def test_metrics_only(self):
        cases = [
            ("up", {"up"}),
            ("a_total{x=\"y\"}", {"a_total"}),
            ("rate(a_total[5m]) * 3600", {"a_total"}),
            # Label names in matchers, groupings and joins are no metrics.
            ('sum by (station, le) (rate(b_bucket{station=~"$s", result!="x"}[1h:5m]))', {"b_bucket"}),
            ("sum without (instance) (a) / ignoring (reason) group_left (version) b", {"a", "b"}),
            ("sum(a) by (station)", {"a"}),
            ("a * on (instance) group_left b", {"a", "b"}),
            ("a > bool 0 and b unless c or d", {"a", "b", "c", "d"}),
            # Strings, numbers, durations and keywords.
            ('label_replace(a, "dst_label", "first_pass", "src", "(.*)")', {"a"}),
            ("histogram_quantile(0.9, a) + 1e3 - 0x1F + .5 + Inf - NaN", {"a"}),
            ("a offset 1h30m", {"a"}),
            ("a @ start() - b @ 1609746000", {"a", "b"}),
            ("time() - a  # a comment naming c", {"a"}),
            ('{__name__="a", job="j"}', {"a"}),
            ("topk(5, a:recorded)", {"a:recorded"}),
            ("vector(1)", set()),
        ]
        for expr, want in cases:
            with self.subTest(expr=expr):
                self.assertEqual(self.names(expr), want)

    def test_unknown_function(self):
        self.assertEqual(cd.promql_names("rates(a[1m])"), ({"a"}, {"rates"}))
        self.assertEqual(cd.promql_names("sum(rate(a[1m]))")[1], set())

    def test_unreadable(self):
        with self.assertRaises(ValueError):
            cd.promql_names("a ; b")


class VariableQueries(unittest.TestCase):
    def test_queries(self):
        cases = [
            ("label_values(qivo_dfu_info, station)", "qivo_dfu_info"),
            ('label_values(a{job="x, y"}, station)', 'a{job="x, y"}'),
            ("label_values(station)", None),
            ("query_result(sum by (station) (a))", "sum by (station) (a)"),
            ("metrics(qivo_.*)", None),
            ("up", "up"),
        ]
        for query, want in cases:
            with self.subTest(query=query):
                self.assertEqual(cd.variable_query_expr(query), want)


class Exposition(unittest.TestCase):
    def test_names(self):
        body = "\n".join([
            "# HELP d Durations.",
            "# TYPE d histogram",
            'd_bucket{le="+Inf"} 3',
            "# TYPE f_total counter",  # declared, no series yet
            "# TYPE om counter",  # OpenMetrics: the family without _total
            "om_total 1",
            "g 2 1700000000000",
            'h{a="b c"} 1',
            "# EOF",
        ])
        self.assertEqual(cd.exported_names(body),
                         {"d", "d_bucket", "d_sum", "d_count", "f_total", "om", "om_total", "g", "h"})


def dashboard(expr_row, expr_variable="label_values(a, station)", annotation="a"):
    return {
        "annotations": {"list": [{"name": "restart", "expr": annotation}]},
        "templating": {"list": [
            {"name": "station", "type": "query", "query": {"query": expr_variable, "refId": "V"}},
            {"name": "w", "type": "interval", "current": {"value": "15m"}},
            {"name": "ds", "type": "datasource", "query": "prometheus"},
        ]},
        "panels": [
            {"title": "top", "targets": [{"refId": "A", "expr": 'rate(a{station=~"$station"}[$w])'}]},
            {"title": "row", "type": "row", "collapsed": True, "panels": [
                {"title": "inner", "targets": [{"refId": "B", "expr": expr_row}]}]},
        ],
    }


class Run(unittest.TestCase):
    def run_check(self, dash, body="# TYPE a gauge\na 1\n", promtool="/nonexistent"):
        with tempfile.TemporaryDirectory() as tmp:
            d, m = os.path.join(tmp, "d.json"), os.path.join(tmp, "m.txt")
            with open(d, "w") as f:
                json.dump(dash, f)
            with open(m, "w") as f:
                f.write(body)
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                rc = cd.main([d, "--metrics-file", m, "--promtool", promtool])
            return rc, out.getvalue()

    def test_all_exported_without_promtool_skips(self):
        rc, out = self.run_check(dashboard("a"))
        self.assertEqual(rc, cd.SKIP, out)

    def test_every_place_a_query_lives(self):
        for dash, name, where in [
            (dashboard("inner_missing"), "inner_missing", "panel 'inner' query B"),
            (dashboard("a", expr_variable="label_values(var_missing, station)"), "var_missing", "variable 'station'"),
            (dashboard("a", annotation="ann_missing"), "ann_missing", "annotation 'restart'"),
        ]:
            with self.subTest(name=name):
                rc, out = self.run_check(dash)
                self.assertEqual(rc, 1, out)
                self.assertIn(f"{name}: not exported by", out)
                self.assertIn(where, out)

    def test_faults_besides_names(self):
        for expr, message in [
            ("rate(a[$nope])", "variable $nope is not defined"),
            ("frobnicate(a)", "frobnicate() is no PromQL function"),
            ("vector(1)", "names no metric"),
        ]:
            with self.subTest(expr=expr):
                rc, out = self.run_check(dashboard(expr))
                self.assertEqual(rc, 1, out)
                self.assertIn(message, out)

    def test_target_without_expr(self):
        dash = dashboard("a")
        dash["panels"][0]["targets"].append({"refId": "C", "query": "a"})
        rc, out = self.run_check(dash)
        self.assertEqual(rc, 1, out)
        self.assertIn("panel 'top' query C: no PromQL expression", out)


if __name__ == "__main__":
    unittest.main()
