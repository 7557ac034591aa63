<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>CorvelCarousel</name>
    <message>
        <source>Pictures</source>
        <translation>图片</translation>
    </message>
    <message>
        <source>Picture %1 of %2</source>
        <translation>第 %1 张图片，共 %2 张</translation>
    </message>
    <message>
        <source>Welcome to Corvel</source>
        <translation>欢迎使用 Corvel</translation>
    </message>
    <message>
        <source>Getting everything ready for you.</source>
        <translation>正在为你准备好一切。</translation>
    </message>
    <message>
        <source>Models run locally</source>
        <translation>模型在本机运行</translation>
    </message>
    <message>
        <source>Fast, private, and ready even offline.</source>
        <translation>快速、私密，离线也能用。</translation>
    </message>
    <message>
        <source>Private by design</source>
        <translation>隐私为先</translation>
    </message>
    <message>
        <source>Your data stays on this computer.</source>
        <translation>你的数据只留在这台电脑上。</translation>
    </message>
</context>
<context>
    <name>CorvelDownloadView</name>
    <message>
        <source>Status</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Overall progress</source>
        <translation>总进度</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>继续</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
</context>
<context>
    <name>CorvelFailureView</name>
    <message>
        <source>OK</source>
        <translation>好</translation>
    </message>
    <message>
        <source>Installation Failed</source>
        <translation>安装失败</translation>
    </message>
    <message>
        <source>Insufficient disk space!
At least 1000 MB is required, but only 120 MB is available.
Please clear some space and try again.</source>
        <translation>磁盘空间不足！
至少需要 1000 MB，但当前仅剩 120 MB。
请清理一些空间后重试。</translation>
    </message>
</context>
<context>
    <name>CorvelProgressBar</name>
    <message>
        <source>Setup progress</source>
        <translation>安装进度</translation>
    </message>
</context>
<context>
    <name>CorvelSetupApp</name>
    <message>
        <source>About Corvel</source>
        <translation>关于 Corvel</translation>
    </message>
    <message>
        <source>&lt;b&gt;Corvel&lt;/b&gt;&lt;p&gt;Version %1&lt;/p&gt;&lt;p&gt;Copyright © 2025 Tavrin. All rights reserved.&lt;/p&gt;</source>
        <translation>&lt;b&gt;Corvel&lt;/b&gt;&lt;p&gt;版本 %1&lt;/p&gt;&lt;p&gt;版权所有 © 2025 Tavrin。保留所有权利。&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>CorvelTitleBar</name>
    <message>
        <source>About Corvel</source>
        <translation>关于 Corvel</translation>
    </message>
</context>
<context>
    <name>CorvelTrafficButton</name>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>最小化</translation>
    </message>
    <message>
        <source>Zoom (unavailable)</source>
        <translation>缩放（不可用）</translation>
    </message>
</context>
<context>
    <name>DesktopSession</name>
    <message>
        <source>Downloading and installing Corvel</source>
        <translation>正在下载并安装 Corvel</translation>
    </message>
    <message>
        <source>Corvel is installed</source>
        <translation>Corvel 已安装</translation>
    </message>
    <message>
        <source>Corvel setup failed</source>
        <translation>Corvel 安装失败</translation>
    </message>
    <message>
        <source>Setup has finished.</source>
        <translation>安装已完成。</translation>
    </message>
</context>
<context>
    <name>StatusText</name>
    <message>
        <source>failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>{} s left</source>
        <translation>剩余 {} 秒</translation>
    </message>
    <message>
        <source>{} min left</source>
        <translation>剩余 {} 分钟</translation>
    </message>
    <message>
        <source>{} h left</source>
        <translation>剩余 {} 小时</translation>
    </message>
    <message>
        <source>{} h {} min left</source>
        <translation>剩余 {} 小时 {} 分钟</translation>
    </message>
    <message>
        <source>Preparing…</source>
        <translation>准备中…</translation>
    </message>
    <message>
        <source>Installing %1 ({} of {})</source>
        <translation>正在安装 %1（{}/{}）</translation>
    </message>
    <message>
        <source>Done</source>
        <translation>安装完成</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>已暂停</translation>
    </message>
</context>
</TS>
