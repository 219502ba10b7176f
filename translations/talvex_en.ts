<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>ModuleTexts</name>
    <message>
        <source>零级</source>
        <translation>Level 0</translation>
    </message>
    <message>
        <source>一级</source>
        <translation>Level 1</translation>
    </message>
    <message>
        <source>二级</source>
        <translation>Level 2</translation>
    </message>
    <message>
        <source>三级</source>
        <translation>Level 3</translation>
    </message>
    <message>
        <source>四级</source>
        <translation>Level 4</translation>
    </message>
    <message>
        <source>五级</source>
        <translation>Level 5</translation>
    </message>
    <message>
        <source>六级</source>
        <translation>Level 6</translation>
    </message>
    <message>
        <source>七级</source>
        <translation>Level 7</translation>
    </message>
    <message>
        <source>八级</source>
        <translation>Level 8</translation>
    </message>
    <message>
        <source>九级</source>
        <translation>Level 9</translation>
    </message>
</context>
<context>
    <name>StandInGuard</name>
    <message>
        <source>程序携带的固件映像只是替代映像，不是模块的固件 ！<byte value="xd"/>写入后模块将不能工作。<byte value="xd"/>仍要将它写入 COM%1 吗？</source>
        <translation>The firmware image this program carries is a stand-in, not the module&apos;s firmware!<byte value="xd"/>The module will not work once it is written.<byte value="xd"/>Write it to COM%1 all the same?</translation>
    </message>
</context>
<context>
    <name>TFindDlg</name>
    <message>
        <source>查找模块</source>
        <translation>Find module</translation>
    </message>
    <message>
        <source>正在查找: %1, 站号 %2</source>
        <translation>Searching: %1, station %2</translation>
    </message>
    <message>
        <source>找到 %1 个模块</source>
        <translation>%1 module(s) found</translation>
    </message>
    <message>
        <source>未找到模块 ！</source>
        <translation>No module found!</translation>
    </message>
    <message>
        <source>已停止, 找到 %1 个模块</source>
        <translation>Stopped, %1 module(s) found</translation>
    </message>
    <message>
        <source>请至少选择一个波特率和一个格式 ！</source>
        <translation>Choose at least one baud and one format!</translation>
    </message>
    <message>
        <source>站号 %1, CAN %2, 485 %3 %4, %5, %6 ms</source>
        <translation>Station %1, CAN %2, 485 %3 %4, %5, %6 ms</translation>
    </message>
    <message>
        <source>查找范围</source>
        <translation>Search range</translation>
    </message>
    <message>
        <source>站号</source>
        <translation>Station</translation>
    </message>
    <message>
        <source>至</source>
        <translation>to</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud</translation>
    </message>
    <message>
        <source>格式</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>开始查找</source>
        <translation>Search</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>固件</source>
        <translation>FW</translation>
    </message>
    <message>
        <source>模块设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Connect</translation>
    </message>
</context>
<context>
    <name>TFirmwareFrm</name>
    <message>
        <source>就绪...</source>
        <translation>Ready...</translation>
    </message>
    <message>
        <source>当前串口号 COM%1 已经被占用，或其它错误 ！<byte value="xd"/>请选择其它串口，或检查串口设置是否正确。</source>
        <translation>Port COM%1 is in use, or another error occurred!<byte value="xd"/>Choose another port, or check the port&apos;s settings.</translation>
    </message>
    <message>
        <source>固件映像无效，无法更新 ！</source>
        <translation>The firmware image is not valid; no update is possible!</translation>
    </message>
    <message>
        <source>TALVEX_M固件更新</source>
        <translation>TALVEX_M Firmware Update</translation>
    </message>
    <message>
        <source>通信端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>开始更新</source>
        <translation>Start update</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>TALVEX_M测试程序 V1.50</source>
        <translation>TALVEX_M Test Tool V1.50</translation>
    </message>
    <message>
        <source>通信参数</source>
        <translation>Communication</translation>
    </message>
    <message>
        <source>通信参数 (固件:%1)</source>
        <translation>Communication (firmware: %1)</translation>
    </message>
    <message>
        <source>开始连接</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>断开连接</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>获取可用的端口号</source>
        <translation>The serial port to use</translation>
    </message>
    <message>
        <source>当前串口号已经被占用，或其它错误 ！<byte value="xd"/>请选择其它串口，或检查串口设置是否正确。</source>
        <translation>The port is in use, or another error occurred!<byte value="xd"/>Choose another port, or check the port&apos;s settings.</translation>
    </message>
    <message>
        <source>连接串口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>产品地址</source>
        <translation>Station</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud</translation>
    </message>
    <message>
        <source>格式</source>
        <translation>Fmt</translation>
    </message>
    <message>
        <source>查找模块</source>
        <translation>Find module</translation>
    </message>
    <message>
        <source>通信计数</source>
        <translation>Count</translation>
    </message>
    <message>
        <source>连接通信模式</source>
        <translation>Link mode</translation>
    </message>
    <message>
        <source>固件升级</source>
        <translation>Firmware</translation>
    </message>
    <message>
        <source>模块标定</source>
        <translation>Module settings</translation>
    </message>
    <message>
        <source>标定到模块</source>
        <translation>Write</translation>
    </message>
    <message>
        <source>AD编号</source>
        <translation>AD No.</translation>
    </message>
    <message>
        <source>采集数值</source>
        <translation>Value</translation>
    </message>
    <message>
        <source>DA编号</source>
        <translation>DA No.</translation>
    </message>
    <message>
        <source>设DA值</source>
        <translation>Output</translation>
    </message>
    <message>
        <source>设增益</source>
        <translation>Gain</translation>
    </message>
    <message>
        <source>标定完毕 ！</source>
        <translation>Settings written!</translation>
    </message>
    <message>
        <source>通信失败 ！</source>
        <translation>Communication failed!</translation>
    </message>
    <message>
        <source>请选择%1 ！</source>
        <translation>Choose the %1!</translation>
    </message>
    <message>
        <source>模块站号</source>
        <translation>Station</translation>
    </message>
    <message>
        <source>CAN波特率</source>
        <translation>CAN baud</translation>
    </message>
    <message>
        <source>485波特率</source>
        <translation>485 baud</translation>
    </message>
    <message>
        <source>发送抑制</source>
        <translation>Tx gap</translation>
    </message>
    <message>
        <source>单位:ms</source>
        <translation>In ms</translation>
    </message>
    <message>
        <source>滤波等级</source>
        <translation>Filter</translation>
    </message>
    <message>
        <source>485格式</source>
        <translation>485 fmt</translation>
    </message>
    <message>
        <source>连接未成功 ！</source>
        <translation>Not connected!</translation>
    </message>
    <message>
        <source>趋势图</source>
        <translation>Trend</translation>
    </message>
    <message>
        <source>通信监视</source>
        <translation>Trace</translation>
    </message>
</context>
<context>
    <name>TMonitorDf</name>
    <message>
        <source>设定范围: 0-65535 ！</source>
        <translation>Range: 0-65535!</translation>
    </message>
    <message>
        <source>通信失败 ！</source>
        <translation>Communication failed!</translation>
    </message>
    <message>
        <source> 写寄存器 </source>
        <translation> Write Register </translation>
    </message>
    <message>
        <source> 写至模块(D) 寄存器 </source>
        <translation> Write to Module Register (D) </translation>
    </message>
    <message>
        <source>写入后关闭对话框</source>
        <translation>Close after writing</translation>
    </message>
    <message>
        <source>寄存器 D:</source>
        <translation>Register:</translation>
    </message>
    <message>
        <source>写入数值:</source>
        <translation>Value:</translation>
    </message>
    <message>
        <source>写入(&amp;W)</source>
        <translation>&amp;Write</translation>
    </message>
    <message>
        <source>关闭(&amp;C)</source>
        <translation>&amp;Close</translation>
    </message>
</context>
<context>
    <name>TStationFrm</name>
    <message>
        <source>TALVEX_M生产工位</source>
        <translation>TALVEX_M production station</translation>
    </message>
    <message>
        <source>配方 %1  批次 %2  映像 %3</source>
        <translation>Recipe %1  Lot %2  Image %3</translation>
    </message>
    <message>
        <source>操作员 %1</source>
        <translation>Operator %1</translation>
    </message>
    <message>
        <source>记录 %1</source>
        <translation>Records %1</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>扫描标签</source>
        <translation>Scan label</translation>
    </message>
    <message>
        <source>槽位 %1 的标签</source>
        <translation>Slot %1 label</translation>
    </message>
    <message>
        <source>最近的记录</source>
        <translation>Last records</translation>
    </message>
    <message>
        <source>槽位 %1 的记录未能保存！</source>
        <translation>Slot %1: the record could not be kept!</translation>
    </message>
    <message>
        <source>就绪：按“开始”</source>
        <translation>Ready: press &quot;Start&quot;</translation>
    </message>
    <message>
        <source>工位运行中：放上板卡</source>
        <translation>Station running: put boards on the fixtures</translation>
    </message>
    <message>
        <source>工位已停止</source>
        <translation>Station stopped</translation>
    </message>
    <message>
        <source>槽位 %1 的标签 %2 被拒绝：%3</source>
        <translation>Slot %1: label %2 refused: %3</translation>
    </message>
    <message>
        <source>槽位 %1 收到标签 %2</source>
        <translation>Slot %1: label %2 taken</translation>
    </message>
    <message>
        <source>槽位 %1 等待标签：请扫描</source>
        <translation>Slot %1 waits for its label: scan it</translation>
    </message>
    <message>
        <source>通过 %1</source>
        <translation>Passed %1</translation>
    </message>
    <message>
        <source>失败 %1</source>
        <translation>Failed %1</translation>
    </message>
    <message>
        <source>记录服务器已恢复，暂存的记录已送出：继续接收板卡</source>
        <translation>The records server is back and the spooled records were sent: taking boards again</translation>
    </message>
    <message>
        <source>记录服务器不可用（%1）：记录暂存在本地，暂不接收新板卡</source>
        <translation>The records server is away (%1): records wait in the local spool, no new board is taken</translation>
    </message>
    <message>
        <source>擦除</source>
        <translation>erasing</translation>
    </message>
    <message>
        <source>写入</source>
        <translation>writing</translation>
    </message>
    <message>
        <source>校验</source>
        <translation>verifying</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>等待板卡</source>
        <translation>Waiting for a board</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Held</translation>
    </message>
    <message>
        <source>等待标签</source>
        <translation>Waiting for a label</translation>
    </message>
    <message>
        <source>进行中</source>
        <translation>Working</translation>
    </message>
    <message>
        <source>通过</source>
        <translation>Passed</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>已完成</source>
        <translation>Done</translation>
    </message>
    <message>
        <source>检测</source>
        <translation>detect</translation>
    </message>
    <message>
        <source>识别</source>
        <translation>identify</translation>
    </message>
    <message>
        <source>标签</source>
        <translation>label</translation>
    </message>
    <message>
        <source>核准</source>
        <translation>admit</translation>
    </message>
    <message>
        <source>烧写</source>
        <translation>flash</translation>
    </message>
    <message>
        <source>配置</source>
        <translation>configure</translation>
    </message>
    <message>
        <source>回读</source>
        <translation>read back</translation>
    </message>
    <message>
        <source>记录</source>
        <translation>record</translation>
    </message>
    <message>
        <source>槽位 %1  %2</source>
        <translation>Slot %1  %2</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>%1：请扫描</source>
        <translation>%1: scan it</translation>
    </message>
    <message>
        <source>%1：请取走板卡</source>
        <translation>%1: take the board away</translation>
    </message>
    <message>
        <source>标签 %1</source>
        <translation>Label %1</translation>
    </message>
    <message>
        <source>%1  槽位 %2  %3  %4  %5</source>
        <translation>%1  slot %2  %3  %4  %5</translation>
    </message>
    <message>
        <source>直通率 %1，每小时 %2 块</source>
        <translation>First-pass yield %1, %2 boards per hour</translation>
    </message>
</context>
<context>
    <name>TStationSetupDlg</name>
    <message>
        <source>请选择配方文件</source>
        <translation>Choose a recipe file</translation>
    </message>
    <message>
        <source>配方 %1 无效：%2</source>
        <translation>Recipe %1 refused: %2</translation>
    </message>
    <message>
        <source>请给出工位的串口，例如 COM3,COM4</source>
        <translation>Give the station's ports, for example COM3,COM4</translation>
    </message>
    <message>
        <source>串口“%1”既不是 COM1 ... COM8，也不是设备路径</source>
        <translation>Port &quot;%1&quot; is neither COM1 ... COM8 nor a device path</translation>
    </message>
    <message>
        <source>串口 %1 重复</source>
        <translation>Port %1 is given twice</translation>
    </message>
    <message>
        <source>记录数据库 %1 无法打开：%2</source>
        <translation>The records database %1 cannot be opened: %2</translation>
    </message>
    <message>
        <source>TALVEX_M生产工位</source>
        <translation>TALVEX_M production station</translation>
    </message>
    <message>
        <source>浏览...</source>
        <translation>Browse...</translation>
    </message>
    <message>
        <source>选择配方</source>
        <translation>Choose a recipe</translation>
    </message>
    <message>
        <source>配方 (*.json)</source>
        <translation>Recipes (*.json)</translation>
    </message>
    <message>
        <source>配方</source>
        <translation>Recipe</translation>
    </message>
    <message>
        <source>串口</source>
        <translation>Ports</translation>
    </message>
    <message>
        <source>记录</source>
        <translation>record</translation>
    </message>
    <message>
        <source>操作员</source>
        <translation>Operator</translation>
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
    <name>TTraceFrm</name>
    <message>
        <source>通信监视</source>
        <translation>Line trace</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>只看失败的通信</source>
        <translation>Failed exchanges only</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>无法写入 %1 ！</source>
        <translation>Cannot write %1!</translation>
    </message>
</context>
<context>
    <name>TTraceModel</name>
    <message>
        <source>发</source>
        <translation>Tx</translation>
    </message>
    <message>
        <source>收</source>
        <translation>Rx</translation>
    </message>
    <message>
        <source>时间 (ms)</source>
        <translation>Time (ms)</translation>
    </message>
    <message>
        <source>端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>方向</source>
        <translation>Dir</translation>
    </message>
    <message>
        <source>间隔 (ms)</source>
        <translation>Gap (ms)</translation>
    </message>
    <message>
        <source>字节</source>
        <translation>Bytes</translation>
    </message>
    <message>
        <source>内容</source>
        <translation>Meaning</translation>
    </message>
</context>
<context>
    <name>TTrendFrm</name>
    <message>
        <source>趋势图</source>
        <translation>Trend</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>录制</source>
        <translation>Record</translation>
    </message>
    <message>
        <source>停止录制</source>
        <translation>Stop recording</translation>
    </message>
    <message>
        <source>无法写入 %1 ！</source>
        <translation>Cannot write %1!</translation>
    </message>
    <message>
        <source>1 分钟</source>
        <translation>1 min</translation>
    </message>
    <message>
        <source>10 分钟</source>
        <translation>10 min</translation>
    </message>
    <message>
        <source>30 分钟</source>
        <translation>30 min</translation>
    </message>
    <message>
        <source>1 小时</source>
        <translation>1 h</translation>
    </message>
    <message>
        <source>2 小时</source>
        <translation>2 h</translation>
    </message>
    <message>
        <source>设DA值</source>
        <translation>Output</translation>
    </message>
    <message>
        <source>设增益</source>
        <translation>Gain</translation>
    </message>
    <message>
        <source>复位</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>导出图片</source>
        <translation>Export PNG</translation>
    </message>
    <message>
        <source>导出CSV</source>
        <translation>Export CSV</translation>
    </message>
    <message>
        <source>工程单位</source>
        <translation>Units</translation>
    </message>
    <message>
        <source>时间跨度</source>
        <translation>Span</translation>
    </message>
    <message>
        <source>DA曲线</source>
        <translation>DA curves</translation>
    </message>
    <message>
        <source>录制文件写入失败：%1 ！</source>
        <translation>Cannot write the recording %1!</translation>
    </message>
    <message>
        <source>已暂停</source>
        <translation>Paused</translation>
    </message>
    <message>
        <source>缩放中（复位回到最新）</source>
        <translation>Zoomed (Reset shows the latest)</translation>
    </message>
    <message>
        <source>录制到 %1</source>
        <translation>Recording to %1</translation>
    </message>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
</context>
<context>
    <name>TUpdateWords</name>
    <message>
        <source>正在查找设备。。。</source>
        <translation>Looking for the device...</translation>
    </message>
    <message>
        <source>已成功连接</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>无法和设备通讯，请重新尝试</source>
        <translation>No answer from the device; try again</translation>
    </message>
    <message>
        <source>正在擦除。。。</source>
        <translation>Erasing...</translation>
    </message>
    <message>
        <source>写进度: %1%</source>
        <translation>Writing: %1%</translation>
    </message>
    <message>
        <source>上载完成！</source>
        <translation>Update done!</translation>
    </message>
    <message>
        <source>连机失败！请检查通信线。</source>
        <translation>Link failed! Check the cable.</translation>
    </message>
</context>
<context>
    <name>Toolkit</name>
    <message>
        <source>串口错误</source>
        <translation>Port Error</translation>
    </message>
</context>
<context>
    <name>TrendUnitsDialog</name>
    <message>
        <source>工程单位</source>
        <translation>Engineering units</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>比例</source>
        <translation>Scale</translation>
    </message>
    <message>
        <source>偏移</source>
        <translation>Offset</translation>
    </message>
    <message>
        <source>单位</source>
        <translation>Unit</translation>
    </message>
</context>
</TS>
