#!/usr/bin/env python3
"""Writes a rows file such as kelvora-cli prints: N rows of fourteen cells, jsonl or
tsv, with times spread over the days around NOW (UTC+8) so that the report has
something to count. A few rows carry what real files carry now and then: 无时间,
failed requests, escaped characters, CR LF inside a title, characters outside GBK.

    bench/make_rows.py --rows 100000 --now "2026-12-11 12:00:00" [--format tsv] > rows.jsonl
"""
import argparse
import datetime
import json
import random
import sys

CAPTIONS = ["序号", "itemID", "标题", "链接", "卖家", "上架时间", "下架时间", "剩余小时数",
            "店铺类型", "当前销量", "当前库存", "售价", "所在地", "监测"]
PLACES = ["浙江 杭州", "广东 广州", "上海", "江苏 苏州", "福建 泉州", "北京", "广东 深圳",
          "浙江 义乌", "山东 青岛", "四川 成都"]
TITLES = ["2024新款春装女装连衣裙韩版宽松显瘦中长款", "男士休闲裤夏季薄款直筒宽松运动长裤",
          "儿童保温杯带吸管316不锈钢小学生水杯", "家用多功能电饭煲智能预约4L大容量"]


def time_text(t):
    # The program's DateText: the time of day down to its last non-zero part.
    text = f"{t.year}年{t.month}月{t.day}日"
    parts = [(t.hour, "时"), (t.minute, "分"), (t.second, "秒")]
    last = max([i for i, (v, _) in enumerate(parts) if v] or [-1])
    for i in range(last + 1):
        text += f"{parts[i][0]}{parts[i][1]}"
    return text


def tsv_cell(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100000)
    ap.add_argument("--now", default="2026-12-11 12:00:00")
    ap.add_argument("--format", choices=["jsonl", "tsv"], default="jsonl")
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--settled", action="store_true",
                    help="every row with its times and no failed request (nothing for retry to run again)")
    a = ap.parse_args()
    rnd = random.Random(a.seed)
    now = datetime.datetime.strptime(a.now, "%Y-%m-%d %H:%M:%S")
    today = now.replace(hour=0, minute=0, second=0)
    out = sys.stdout
    if a.format == "tsv":
        out.write("\t".join(CAPTIONS) + "\n")
    for i in range(a.rows):
        item = str(520000000000 + i * 7919)
        delist = today + datetime.timedelta(seconds=rnd.randint(-86400, 9 * 86400))
        timed = a.settled or i % 20 != 0
        title = TITLES[i % 4] + " " + str(i)
        if i % 997 == 5:
            title += "\r\n第二行\t\"引号\" \\ 😀"
        cells = [str(i + 1), item, title, "https://item.taobao.com/item.htm?id=" + item,
                 "小店" + str(i % 997),
                 time_text(delist - datetime.timedelta(days=7)) if timed else "无时间",
                 time_text(delist) if timed else "无时间",
                 str(max(0, int((delist - now).total_seconds()) // 3600)),
                 "店铺" if i % 3 else "天猫", str(rnd.randint(0, 5000)), str(rnd.randint(0, 15000)),
                 f"{rnd.randint(1, 999)}.00", PLACES[rnd.randint(0, 9)], "√" if i % 10 == 0 else ""]
        if a.format == "tsv":
            out.write("\t".join(tsv_cell(c) for c in cells) + "\n")
        else:
            row = cells + ([{"failed": ["page", "lookup"]}] if i % 50 == 7 and not a.settled else [])
            out.write(json.dumps(row, ensure_ascii=(i % 101 == 3), separators=(",", ":")) + "\n")


if __name__ == "__main__":
    main()
