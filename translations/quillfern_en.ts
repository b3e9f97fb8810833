<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>Allowance</name>
    <message>
        <source>本期 %1 已用 %2 / %3（%4）</source>
        <translation>This cycle %1: %2 of %3 used (%4)</translation>
    </message>
    <message>
        <source>按当前速度，期末约 %1</source>
        <translation>At this pace, about %1 by the cycle&apos;s end</translation>
    </message>
    <message>
        <source>流量配额已用完</source>
        <translation>Data allowance used up</translation>
    </message>
    <message>
        <source>流量配额已用 %1%</source>
        <translation>%1% of the data allowance used</translation>
    </message>
    <message>
        <source>本期 %1 已用 %2，配额 %3。</source>
        <translation>This cycle (%1) has used %2 of the %3 allowance.</translation>
    </message>
</context>
<context>
    <name>AllowanceDialog</name>
    <message>
        <source>启用每月流量配额</source>
        <translation>Use a monthly data allowance</translation>
    </message>
    <message>
        <source>流量配额</source>
        <translation>Data Allowance</translation>
    </message>
    <message>
        <source>仅下载</source>
        <translation>Download only</translation>
    </message>
    <message>
        <source>下载和上传</source>
        <translation>Download and upload</translation>
    </message>
    <message>
        <source>每月配额</source>
        <translation>Monthly allowance</translation>
    </message>
    <message>
        <source>每月结算日</source>
        <translation>Cycle starts on day</translation>
    </message>
    <message>
        <source>计入</source>
        <translation>Counts</translation>
    </message>
    <message>
        <source>结算日在 29–31 日时，较短的月份在当月最后一天结算。</source>
        <translation>A cycle starting on the 29th to 31st starts on the last day of shorter months.</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>AppTableDataSource</name>
    <message>
        <source>应用</source>
        <translation>App</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>上传</source>
        <translation>Upload</translation>
    </message>
    <message>
        <source>合计</source>
        <translation>Total</translation>
    </message>
    <message>
        <source>占比</source>
        <translation>Share</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>%1 需要 1 到 100000 之间的整数</source>
        <translation>%1 needs a whole number from 1 to 100000</translation>
    </message>
    <message>
        <source>无法识别的参数：%1</source>
        <translation>unknown argument: %1</translation>
    </message>
    <message>
        <source>--days 和 --months 不能同时使用</source>
        <translation>--days and --months cannot be used together</translation>
    </message>
    <message>
        <source>--days、--months、--apps 和 --json 只能与 --report 一起使用</source>
        <translation>--days, --months, --apps and --json go with --report</translation>
    </message>
    <message>
        <source>不带选项时显示浮动的网速卡片。

  --report       打印今日流量和最近几天的合计，然后退出
  --days N       最近 N 天（默认 7 天）
  --months N     改为最近 N 个自然月
  --apps         同时列出流量最多的应用
  --json         输出 JSON 而不是表格
  --export-json [FILE]  把全部流量历史写到 FILE 或标准输出
  --import-json FILE    把 FILE 合并进流量历史
  --help         显示本说明
  --version      显示版本

卡片需要显示器：X 服务器（DISPLAY），或装有 Qt Wayland 插件的
Wayland 合成器（WAYLAND_DISPLAY）。Qt 自己的选项，如 -platform
和 -display，会原样传给 Qt。
</source>
        <translation>Without options, shows the floating network throughput card.

  --report       print today&apos;s traffic and the last days&apos; totals, then exit
  --days N       the last N days (7 when not given)
  --months N     the last N calendar months instead
  --apps         also list the applications that moved the most
  --json         JSON instead of a table
  --export-json [FILE]  write the whole history to FILE or standard output
  --import-json FILE    merge FILE into the traffic history
  --help         show this text
  --version      show the version

The card needs a display: an X server (DISPLAY), or a Wayland compositor
(WAYLAND_DISPLAY) with Qt&apos;s Wayland plugin. Qt&apos;s own options, such as -platform
and -display, are passed on to Qt.
</translation>
    </message>
    <message>
        <source>在图形会话中运行，或把 DISPLAY 设为正在运行的 X 服务器（如 DISPLAY=:0）</source>
        <translation>run it inside a graphical session, or set DISPLAY to a running X server (e.g. DISPLAY=:0)</translation>
    </message>
    <message>
        <source>X 服务器，但 DISPLAY 未设置</source>
        <translation>an X server, but DISPLAY is not set</translation>
    </message>
    <message>
        <source>X 服务器 DISPLAY=%1，但它没有应答</source>
        <translation>the X server DISPLAY=%1, which does not answer</translation>
    </message>
    <message>
        <source>Wayland 合成器，但没有合成器应答</source>
        <translation>a Wayland compositor, and none answers</translation>
    </message>
    <message>
        <source>Qt 的 Wayland 插件，但它没有安装</source>
        <translation>Qt&apos;s Wayland plugin, which is not installed</translation>
    </message>
    <message>
        <source>没有显示器：所选平台“%1”需要%2；请取消设置 QT_QPA_PLATFORM，或%3</source>
        <translation>no display: the chosen platform &quot;%1&quot; needs %2; unset QT_QPA_PLATFORM or %3</translation>
    </message>
    <message>
        <source>；或</source>
        <translation>; or </translation>
    </message>
    <message>
        <source>没有可用的显示器：Wayland 合成器 WAYLAND_DISPLAY=%1 有应答，但 Qt 的 Wayland 插件没有安装%2；请安装它（qt6-wayland），或把 DISPLAY 设为本会话的 X 服务器（XWayland）</source>
        <translation>no usable display: the Wayland compositor WAYLAND_DISPLAY=%1 answers, but Qt&apos;s Wayland plugin is not installed%2; install it (qt6-wayland) or set DISPLAY to the session&apos;s X server (XWayland)</translation>
    </message>
    <message>
        <source>，X 服务器 DISPLAY=%1 也没有应答</source>
        <translation> and the X server DISPLAY=%1 does not answer</translation>
    </message>
    <message>
        <source>X 服务器 DISPLAY=%1 和 Wayland 合成器 WAYLAND_DISPLAY=%2 都没有应答</source>
        <translation>neither the X server DISPLAY=%1 nor the Wayland compositor WAYLAND_DISPLAY=%2 answers</translation>
    </message>
    <message>
        <source>X 服务器 DISPLAY=%1 没有应答</source>
        <translation>the X server DISPLAY=%1 does not answer</translation>
    </message>
    <message>
        <source>Wayland 合成器 WAYLAND_DISPLAY=%1 没有应答，DISPLAY 也未设置</source>
        <translation>the Wayland compositor WAYLAND_DISPLAY=%1 does not answer and DISPLAY is not set</translation>
    </message>
    <message>
        <source>DISPLAY 和 WAYLAND_DISPLAY 都未设置</source>
        <translation>neither DISPLAY nor WAYLAND_DISPLAY is set</translation>
    </message>
    <message>
        <source>没有显示器：%1；请%2</source>
        <translation>no display: %1; %2</translation>
    </message>
</context>
<context>
    <name>InterfaceMenu</name>
    <message>
        <source>统计接口</source>
        <translation>Counted links</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Automatic</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>物理</source>
        <translation>physical</translation>
    </message>
    <message>
        <source>虚拟</source>
        <translation>virtual</translation>
    </message>
    <message>
        <source>虚拟 %1</source>
        <translation>virtual %1</translation>
    </message>
</context>
<context>
    <name>JsonCommands</name>
    <message>
        <source>没有私有的保存位置：历史无处可存</source>
        <translation>no private place for the history: nothing to export and nowhere to import into</translation>
    </message>
    <message>
        <source>导出失败：%1</source>
        <translation>export failed: %1</translation>
    </message>
    <message>
        <source>无法写入标准输出</source>
        <translation>cannot write to standard output</translation>
    </message>
    <message>
        <source>无法写入 %1：%2</source>
        <translation>cannot write %1: %2</translation>
    </message>
    <message>
        <source>导入失败：%1</source>
        <translation>import failed: %1</translation>
    </message>
    <message numerus="yes">
        <source>已从 %1 合并 %n 天的流量</source>
        <translation>
            <numerusform>merged %n day of traffic from %1</numerusform>
            <numerusform>merged %n days of traffic from %1</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>Report</name>
    <message>
        <source>月份</source>
        <translation>Month</translation>
    </message>
    <message>
        <source>日期</source>
        <translation>Date</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>上传</source>
        <translation>Upload</translation>
    </message>
    <message>
        <source>合计</source>
        <translation>Total</translation>
    </message>
    <message>
        <source>今日</source>
        <translation>Today</translation>
    </message>
    <message numerus="yes">
        <source>%n 个月合计</source>
        <translation>
            <numerusform>Total of %n month</numerusform>
            <numerusform>Total of %n months</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 天合计</source>
        <translation>
            <numerusform>Total of %n day</numerusform>
            <numerusform>Total of %n days</numerusform>
        </translation>
    </message>
    <message>
        <source>应用</source>
        <translation>App</translation>
    </message>
</context>
<context>
    <name>SpeedView</name>
    <message>
        <source>峰值  ↑ %1    ↓ %2</source>
        <translation>Peak  ↑ %1    ↓ %2</translation>
    </message>
    <message>
        <source>累计  ↑ %1    ↓ %2</source>
        <translation>Total  ↑ %1    ↓ %2</translation>
    </message>
    <message>
        <source>重置统计</source>
        <translation>Reset Statistics</translation>
    </message>
    <message>
        <source>流量统计…</source>
        <translation>Traffic Statistics…</translation>
    </message>
    <message>
        <source>流量配额…</source>
        <translation>Data Allowance…</translation>
    </message>
    <message>
        <source>登录时启动</source>
        <translation>Start at Login</translation>
    </message>
    <message>
        <source>退出羽蕨</source>
        <translation>Quit Quillfern</translation>
    </message>
</context>
<context>
    <name>TrafficChartView</name>
    <message>
        <source>暂无数据</source>
        <translation>No data yet</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>上传</source>
        <translation>Upload</translation>
    </message>
</context>
<context>
    <name>TrafficHistoryWindow</name>
    <message>
        <source>应用流量明细 · %1    下载 %2 · 上传 %3 · 合计 %4</source>
        <translation>Apps · %1    Download %2 · Upload %3 · Total %4</translation>
    </message>
    <message>
        <source>流量统计</source>
        <translation>Traffic Statistics</translation>
    </message>
    <message>
        <source>今日下载</source>
        <translation>Downloaded today</translation>
    </message>
    <message>
        <source>今日上传</source>
        <translation>Uploaded today</translation>
    </message>
    <message>
        <source>7 天</source>
        <translation>7 days</translation>
    </message>
    <message>
        <source>30 天</source>
        <translation>30 days</translation>
    </message>
    <message>
        <source>12 个月</source>
        <translation>12 months</translation>
    </message>
    <message>
        <source>未归属到应用：下载 %1 · 上传 %2 · 占比 %3%</source>
        <translation>Not attributed to an application: download %1 · upload %2 · share %3%</translation>
    </message>
    <message>
        <source>没有私有的保存位置：统计只保留到退出</source>
        <translation>No private place to save to: the figures last only until you quit</translation>
    </message>
</context>
</TS>
