"""The benchmark report, one job a module.

targets   the one table of targets: bounds on time and throughput ratios, and on
          instruction-count ratios (bench/report.py and bench/instructions.py read it)
results   reads Google Benchmark's JSON output into figures, and the machine it ran on
judge     sets measured figures and counts against their targets
labels    the readable names of families and operations
text      the number formats and headings that the page and the README share
markdown  writes docs/performance.md
chart     draws the chart (matplotlib)
readme    rewrites the performance block of the README

Standard library only, except chart, which needs matplotlib (Debian: python3-matplotlib).
"""
