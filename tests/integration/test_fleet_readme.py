"""The README's fleet queries and rollout alert rules, run by promtool
against a made-up fleet of three hosts during a rollout: h2 installs the
new release (222) at 21 minutes, is on watch until 30, and rolls it back at
31; h1 has not been reached and its checks then fail; h3 is reached."""
import subprocess

from test_readme import sample


def queries():
    """[(what it tells, expression)] from the README's sample."""
    lines = sample("fleet-queries")
    assert len(lines) % 2 == 0 and all(c.startswith("# ") for c in lines[::2]), lines
    return list(zip(lines[::2], lines[1::2]))


SERIES = """
      - series: 'monitor_info{instance="h1",version="111"}'
        values: '1x60'
      - series: 'monitor_info{instance="h2",version="111"}'
        values: '1x20 _x40'
      - series: 'monitor_info{instance="h2",version="222"}'
        values: '_x20 1x40'
      - series: 'monitor_info{instance="h3",version="111"}'
        values: '1x60'
      - series: 'monitor_update_watch_until_seconds{instance="h2"}'
        values: '_x20 1800x9 _x31'
      - series: 'monitor_update_rollbacks_total{instance="h1"}'
        values: '0x60'
      - series: 'monitor_update_rollbacks_total{instance="h2"}'
        values: '0x30 1x30'
      - series: 'monitor_update_rollbacks_total{instance="h3"}'
        values: '0x60'
      - series: 'monitor_update_rollout_place{instance="h1"}'
        values: '60x60'
      - series: 'monitor_update_rollout_share{instance="h1"}'
        values: '25x60'
      - series: 'monitor_update_rollout_place{instance="h3"}'
        values: '10x60'
      - series: 'monitor_update_rollout_share{instance="h3"}'
        values: '25x60'
      - series: 'monitor_update_last_check_result{instance="h1",word="archive refused"}'
        values: '0x9 -5x50'
      - series: 'monitor_update_last_check_result{instance="h3",word="no crc file"}'
        values: '-1x60'
"""

# For each query of the README, in its order: (time, expected samples).
EXPECTED = [
    [("40m", [('{version="111"}', 2), ('{version="222"}', 1)]),
     ("10m", [('{version="111"}', 3)])],
    [("25m", [("{}", 1)]), ("40m", [])],
    [("40m", [('{instance="h2"}', 1)]), ("10m", [])],
    [("40m", [("{}", 1)])],
]


def expr_tests():
    out = []
    assert len(EXPECTED) == len(queries())
    for (_, expr), cases in zip(queries(), EXPECTED):
        for at, samples in cases:
            out.append("      - expr: '%s'\n        eval_time: %s\n        exp_samples:%s" % (
                expr, at, "".join("\n          - labels: '%s'\n            value: %s" % s
                                  for s in samples) or " []"))
    return "\n".join(out)


ALERTS = """
      - eval_time: 40m
        alertname: MonitorReleaseRolledBack
        exp_alerts:
          - exp_labels: {severity: critical, instance: h2}
            exp_annotations:
              summary: "a release was rolled back on h2: hold the rollout"
      - eval_time: 55m
        alertname: MonitorReleaseRolledBack
        exp_alerts: []
      - eval_time: 20m
        alertname: MonitorReleaseNotInstalling
        exp_alerts: []
      - eval_time: 30m
        alertname: MonitorReleaseNotInstalling
        exp_alerts:
          - exp_labels: {severity: warning, instance: h1, word: archive refused}
            exp_annotations:
              summary: "the published release does not install on h1: archive refused"
"""


def test_fleet_queries_and_rollout_alerts(tmp_path):
    (tmp_path / "rollout-rules.yml").write_text("\n".join(sample("rollout-alert-rules")) + "\n")
    cases = tmp_path / "rollout-rules-test.yml"
    cases.write_text("rule_files: [rollout-rules.yml]\nevaluation_interval: 1m\ntests:\n"
                     "  - interval: 1m\n    input_series:" + SERIES +
                     "    promql_expr_test:\n" + expr_tests() + "\n"
                     "    alert_rule_test:" + ALERTS)
    result = subprocess.run(["promtool", "test", "rules", cases.name], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr + cases.read_text()
