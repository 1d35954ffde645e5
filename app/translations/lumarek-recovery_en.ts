<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>DrivePage</name>
    <message>
        <source>分区名称</source>
        <translation>Partition</translation>
    </message>
    <message>
        <source>分区大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>可移动</source>
        <translation>removable</translation>
    </message>
    <message>
        <source>空文件（0 字节），无法扫描</source>
        <translation>empty file (0 bytes), nothing to scan</translation>
    </message>
    <message>
        <source>%1 的第 %2 个分区</source>
        <translation>Partition %2 of %1</translation>
    </message>
</context>
<context>
    <name>ExportFlow</name>
    <message>
        <source>请先选择要保存的文件！</source>
        <translation>Please select the files to save first.</translation>
    </message>
    <message>
        <source>选择文件夹</source>
        <translation>Choose a folder</translation>
    </message>
    <message>
        <source>所选文件夹 %1 位于正在恢复的分区上。
保存到这里会覆盖该分区上尚未恢复的已删除文件，使它们再也无法找回。

建议选择另一个磁盘上的文件夹。仍然要保存到这里吗？</source>
        <translation>The chosen folder %1 is on the partition being recovered.
Saving here would overwrite the deleted files on that partition that are not recovered yet, and they could never be brought back.

Choose a folder on another disk if you can. Save here anyway?</translation>
    </message>
    <message>
        <source>保存文件</source>
        <translation>Saving files</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>正在保存：%1/%2个文件，%3/%4</source>
        <translation>Saving: %1 of %2 files, %3 of %4</translation>
    </message>
    <message>
        <source>%1 → %2</source>
        <translation>%1 → %2</translation>
    </message>
    <message>
        <source>%1（%2）</source>
        <translation>%1 (%2)</translation>
    </message>
    <message numerus="yes">
        <source>……以及另外%n个文件</source>
        <translation>
            <numerusform>...and %n more file</numerusform>
            <numerusform>...and %n more files</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>已保存%1个文件，共%n个。
以下文件保存失败：
%2</source>
        <translation>
            <numerusform>Saved %1 of %n file.
Could not save:
%2</numerusform>
            <numerusform>Saved %1 of %n files.
Could not save:
%2</numerusform>
        </translation>
    </message>
    <message>
        <source>已保存%1个文件到%2</source>
        <translation>Saved %1 file(s) to %2</translation>
    </message>
    <message>
        <source>文件夹中已有同名文件，原有文件保持不变；以下文件另存为新名称：
%1</source>
        <translation>Files of the same names are already in the folder and were left as they are; these files were saved under new names:
%1</translation>
    </message>
    <message>
        <source>保存已取消，其余文件没有保存。</source>
        <translation>Saving was cancelled; the other files were not saved.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Lumarek数据恢复</source>
        <translation>Lumarek Data Recovery</translation>
    </message>
    <message>
        <source>请选择需要恢复文件的分区：</source>
        <translation>Choose the partition to recover files from:</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>照片/图片</source>
        <translation>Pictures</translation>
    </message>
    <message>
        <source>常见的图片文件，如相机照片，截图，网络下载的图片等。</source>
        <translation>Common picture files: camera photos, screenshots, pictures saved from the web.</translation>
    </message>
    <message>
        <source>音频/视频</source>
        <translation>Audio/Video</translation>
    </message>
    <message>
        <source>网络下载的音乐，拍摄的视频等多媒体文件。</source>
        <translation>Music, recorded videos and other media files.</translation>
    </message>
    <message>
        <source>文档</source>
        <translation>Documents</translation>
    </message>
    <message>
        <source>常见的Office文档，pdf文件等文档</source>
        <translation>Office documents, PDF files and other common documents.</translation>
    </message>
    <message>
        <source>压缩包</source>
        <translation>Archives</translation>
    </message>
    <message>
        <source>rar，zip等压缩文件。</source>
        <translation>Compressed archives such as ZIP and RAR.</translation>
    </message>
    <message>
        <source>所有文件</source>
        <translation>All files</translation>
    </message>
    <message>
        <source>包括以上所有文件以及其他文件。</source>
        <translation>Everything above, and other kinds of file too.</translation>
    </message>
    <message>
        <source>深度扫描（找回更多文件，稍慢）</source>
        <translation>Deep scan (finds more files, a little slower)</translation>
    </message>
    <message>
        <source>选择您需要恢复的文件类型：</source>
        <translation>Choose the kinds of file to recover:</translation>
    </message>
    <message>
        <source>0%</source>
        <translation>0%</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>开始扫描</source>
        <translation>Scan</translation>
    </message>
    <message>
        <source>返回</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>恢复到...</source>
        <translation>Save to...</translation>
    </message>
    <message>
        <source>下一步</source>
        <translation>Next</translation>
    </message>
    <message>
        <source>请先选择要恢复的分区！</source>
        <translation>Please choose the partition to recover from first.</translation>
    </message>
    <message>
        <source>无法读取所选分区 %1。
读取分区需要管理员权限：请以管理员（root）身份运行本程序，或者把当前用户加入 disk 用户组后重新登录，然后再试。</source>
        <translation>Cannot read the selected partition %1.
Reading a partition needs administrator rights: run this program as administrator (root), or add your user to the disk group, log in again and try again.</translation>
    </message>
    <message>
        <source>无法读取所选分区 %1。
%2</source>
        <translation>Cannot read the selected partition %1.
%2</translation>
    </message>
    <message>
        <source>内存不足，无法开始扫描。请关闭其他程序后再试。</source>
        <translation>Not enough memory to start the scan. Close other programs and try again.</translation>
    </message>
    <message>
        <source>所选分区 %1 已被移除，扫描已停止。
已找到的文件仍在列表中，可以选中后保存；如果保存失败，请重新插入该设备后再保存。</source>
        <translation>The selected partition %1 was removed, and the scan has stopped.
The files found so far stay in the list and can be selected and saved; if saving fails, insert the device again and save once more.</translation>
    </message>
    <message>
        <source>没有得到读取该分区的授权。可以再试一次，并在系统弹出的授权窗口中输入密码。</source>
        <translation>Reading the partition was not authorised. You can try again and enter your password in the system&apos;s authorisation window.</translation>
    </message>
    <message>
        <source>系统的磁盘服务（udisks2）不可用，无法请求读取该分区的授权。</source>
        <translation>The system&apos;s disk service (udisks2) is not available to authorise reading the partition.</translation>
    </message>
    <message>
        <source>系统的磁盘服务无法打开该分区：%1</source>
        <translation>The system&apos;s disk service could not open the partition: %1</translation>
    </message>
    <message>
        <source>无法读取所选分区 %1。
%2
也可以用 sudo 以管理员身份运行本程序，或者把当前用户加入 disk 用户组（sudo usermod -aG disk $USER）后重新登录，然后再试。</source>
        <translation>Cannot read the selected partition %1.
%2
You can also run this program as administrator with sudo, or add your user to the disk group (sudo usermod -aG disk $USER), log in again and try again.</translation>
    </message>
    <message>
        <source>把所有分类中选中的文件保存到一个文件夹</source>
        <translation>Save the ticked files of every category to a folder</translation>
    </message>
    <message>
        <source>所选分区或映像是空的（0 字节），没有可扫描的内容。</source>
        <translation>The chosen partition or image is empty (0 bytes): there was nothing to scan.</translation>
    </message>
    <message>
        <source>扫描期间输入变小了（只剩%1字节，可能是存储卡被拔出）；超出部分的文件未列出。</source>
        <translation>The input shrank during the scan (only %1 bytes are left: was the card taken out?). Files past that end are not listed.</translation>
    </message>
    <message>
        <source>有%1个扇区无法读取，已跳过；这些扇区中的文件无法找回，其余文件已列出。</source>
        <translation>%1 sectors could not be read and were skipped: files in them cannot be recovered. Every other file found is listed.</translation>
    </message>
    <message>
        <source>找不到 %1，无法扫描。</source>
        <translation>%1 cannot be found, so it cannot be scanned.</translation>
    </message>
    <message>
        <source>无法打开 %1：%2</source>
        <translation>Cannot open %1: %2</translation>
    </message>
    <message>
        <source>%1 是一个文件夹，无法扫描；请选择磁盘映像文件或分区。</source>
        <translation>%1 is a folder and cannot be scanned; choose a disk image file or a partition.</translation>
    </message>
    <message>
        <source>%1 既不是磁盘映像文件也不是分区，无法扫描。</source>
        <translation>%1 is neither a disk image file nor a partition and cannot be scanned.</translation>
    </message>
</context>
<context>
    <name>PreviewDialog</name>
    <message>
        <source>预览</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>加载中..</source>
        <translation>Loading...</translation>
    </message>
    <message>
        <source>暂无预览</source>
        <translation>No preview available</translation>
    </message>
</context>
<context>
    <name>ResultViews</name>
    <message>
        <source>图片</source>
        <translation>Pictures</translation>
    </message>
    <message>
        <source>文档</source>
        <translation>Documents</translation>
    </message>
    <message>
        <source>音视频</source>
        <translation>Audio/Video</translation>
    </message>
    <message>
        <source>压缩包</source>
        <translation>Archives</translation>
    </message>
    <message>
        <source>其他</source>
        <translation>Other</translation>
    </message>
    <message>
        <source>文件分类</source>
        <translation>Categories</translation>
    </message>
    <message>
        <source>选中</source>
        <translation>✓</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>文件类型</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>预览</source>
        <translation>Preview</translation>
    </message>
    <message>
        <source>选中或取消选中全部文件</source>
        <translation>Tick or untick every file</translation>
    </message>
    <message numerus="yes">
        <source>已扫描到%n个文件</source>
        <translation>
            <numerusform>Found %n file</numerusform>
            <numerusform>Found %n files</numerusform>
        </translation>
    </message>
</context>
</TS>
