<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>CAccountPage</name>
    <message>
        <source>账户</source>
        <translation>Account</translation>
    </message>
    <message>
        <source>退出登录</source>
        <translation>Log out</translation>
    </message>
    <message>
        <source>切换账户</source>
        <translation>Switch account</translation>
    </message>
    <message>
        <source>域名服务商</source>
        <translation>DNS provider</translation>
    </message>
    <message>
        <source>服务器:</source>
        <translation>Server:</translation>
    </message>
    <message>
        <source>账号:</source>
        <translation>Account:</translation>
    </message>
    <message>
        <source>密码:</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>域名:</source>
        <translation>Host names:</translation>
    </message>
    <message>
        <source>查询网址:</source>
        <translation>Check-IP URLs:</translation>
    </message>
    <message>
        <source>网卡:</source>
        <translation>Interface:</translation>
    </message>
    <message>
        <source>也问路由器(UPnP/NAT-PMP)</source>
        <translation>Also ask the router (UPnP/NAT-PMP)</translation>
    </message>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>测试</source>
        <translation>Test</translation>
    </message>
    <message>
        <source>公网地址查询网址</source>
        <translation>Check-IP web addresses</translation>
    </message>
    <message>
        <source>本机网卡的地址</source>
        <translation>A local network interface</translation>
    </message>
    <message>
        <source>只问路由器</source>
        <translation>The router only</translation>
    </message>
    <message>
        <source>用空格分隔多个域名</source>
        <translation>Several names separated by spaces</translation>
    </message>
    <message>
        <source>留空则用内置的网址</source>
        <translation>Empty: the built-in list</translation>
    </message>
    <message>
        <source>留空则用系统的证书</source>
        <translation>Empty: the system&apos;s certificates</translation>
    </message>
    <message>
        <source>类型:</source>
        <translation>Kind:</translation>
    </message>
    <message>
        <source>地址来源:</source>
        <translation>Address from:</translation>
    </message>
    <message>
        <source>CA 证书文件:</source>
        <translation>CA file:</translation>
    </message>
    <message>
        <source>登录</source>
        <translation>Log in</translation>
    </message>
    <message>
        <source>已保存;留空则不变</source>
        <translation>Stored; leave empty to keep it</translation>
    </message>
    <message>
        <source> 秒</source>
        <translation> s</translation>
    </message>
    <message>
        <source>默认</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>不改</source>
        <translation>Keep as is</translation>
    </message>
    <message>
        <source>是</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>否</source>
        <translation>No</translation>
    </message>
    <message>
        <source>留空则任何 2xx 回答都算成功</source>
        <translation>Empty: any 2xx answer is a success</translation>
    </message>
    <message>
        <source>区域:</source>
        <translation>Zone:</translation>
    </message>
    <message>
        <source>密钥名:</source>
        <translation>Key name:</translation>
    </message>
    <message>
        <source>算法:</source>
        <translation>Algorithm:</translation>
    </message>
    <message>
        <source>TTL:</source>
        <translation>TTL:</translation>
    </message>
    <message>
        <source>经 Cloudflare 代理:</source>
        <translation>Proxied by Cloudflare:</translation>
    </message>
    <message>
        <source>成功的回答含有:</source>
        <translation>A successful answer contains:</translation>
    </message>
    <message>
        <source>API 网址:</source>
        <translation>API URL:</translation>
    </message>
    <message>
        <source>网址模板:</source>
        <translation>URL template:</translation>
    </message>
    <message>
        <source>留空则用 Cloudflare 自己的 API</source>
        <translation>Empty: Cloudflare&apos;s own API</translation>
    </message>
    <message>
        <source>留空则用 DuckDNS 自己的服务器</source>
        <translation>Empty: DuckDNS&apos;s own server</translation>
    </message>
    <message>
        <source>令牌:</source>
        <translation>Token:</translation>
    </message>
    <message>
        <source>密钥:</source>
        <translation>Key secret:</translation>
    </message>
</context>
<context>
    <name>CDomainlstSheet</name>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>更新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>你当前公网IP:</source>
        <translation>Your public IP:</translation>
    </message>
    <message>
        <source>静态</source>
        <translation>None yet</translation>
    </message>
    <message>
        <source>公网IPv6: %1</source>
        <translation>Public IPv6: %1</translation>
    </message>
    <message>
        <source>接入商:</source>
        <translation>Network:</translation>
    </message>
    <message>
        <source>域名管理帮助</source>
        <translation>Help with domains</translation>
    </message>
</context>
<context>
    <name>CHyperLink2</name>
    <message>
        <source>这台电脑上没有设置网页浏览器。</source>
        <translation>No web browser is set up on this computer.</translation>
    </message>
    <message>
        <source>网页浏览器无法启动。</source>
        <translation>The web browser could not be started.</translation>
    </message>
    <message>
        <source>错误码 %1。</source>
        <translation>Error %1.</translation>
    </message>
    <message>
        <source>没有程序能打开这个链接。</source>
        <translation>Nothing on this computer could open the link.</translation>
    </message>
    <message>
        <source>请在浏览器中打开这个地址:</source>
        <translation>Open this address in a web browser:</translation>
    </message>
</context>
<context>
    <name>CMapPortList</name>
    <message>
        <source>删除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>删除端口 %1/%2 吗?它在路由器上的映射也会被删除。</source>
        <translation>Remove port %1/%2? Its mapping on the router is removed too.</translation>
    </message>
</context>
<context>
    <name>CMorvaneAbout</name>
    <message>
        <source>检查更新</source>
        <translation>Check for updates</translation>
    </message>
    <message>
        <source>Morvane 让你的动态域名一直指向这台电脑的公网地址：后台的服务程序记住你打开的域名，地址一变就通知域名服务商；它还能在路由器上打开端口，让外面的人找得到这台电脑上的服务。这个窗口和终端里的 morvanectl 都只是告诉服务程序该做什么，关掉窗口它也照样工作。</source>
        <translation>Morvane keeps your dynamic domain names pointed at this computer&apos;s public address: a background service remembers the names you switched on and tells your DNS provider whenever the address changes. It can also open ports on your router, so that servers on this computer can be reached from outside. This window and morvanectl in a terminal only tell the service what to do; it keeps working when the window is closed.</translation>
    </message>
    <message>
        <source>没有找到更新程序 %1，无法检查更新。用软件包安装的 Morvane 由系统更新（sudo apt update &amp;&amp; sudo apt upgrade）。</source>
        <translation>The updater (%1) is not installed, so Morvane cannot look for updates itself. A Morvane installed from a package is updated with the system (sudo apt update &amp;&amp; sudo apt upgrade).</translation>
    </message>
</context>
<context>
    <name>CMorvaneApp</name>
    <message>
        <source>找不到服务程序</source>
        <translation>the service program was not found</translation>
    </message>
    <message>
        <source>没有权限</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>服务程序没有及时响应</source>
        <translation>the service did not respond in time</translation>
    </message>
    <message>
        <source>服务已被禁用</source>
        <translation>the service is disabled</translation>
    </message>
    <message>
        <source>服务没有安装</source>
        <translation>the service is not installed</translation>
    </message>
    <message>
        <source>服务程序启动后意外退出</source>
        <translation>the service program ended right after it started</translation>
    </message>
    <message>
        <source>找不到服务程序 %1。</source>
        <translation>The service program %1 is missing.</translation>
    </message>
    <message>
        <source>无法连接服务管理器: %1。</source>
        <translation>Could not reach the service manager: %1.</translation>
    </message>
    <message>
        <source>无法注册服务程序 %1: %2。</source>
        <translation>Could not register the service program %1: %2.</translation>
    </message>
    <message>
        <source>无法读取服务的状态: %1。</source>
        <translation>Could not read the service&apos;s state: %1.</translation>
    </message>
    <message>
        <source>无法启动服务程序 %1: %2。</source>
        <translation>Could not start the service program %1: %2.</translation>
    </message>
    <message>
        <source>请重新安装 Morvane,或者从装有 MorvaneCore 的文件夹启动它。</source>
        <translation>Reinstall Morvane, or start it from the folder that holds MorvaneCore.</translation>
    </message>
    <message>
        <source>你的账号可能还不在 morvane 组里:执行 sudo adduser $USER morvane,然后注销再登录。</source>
        <translation>Your account may not be in the group morvane yet: run sudo adduser $USER morvane, then log out and in again.</translation>
    </message>
    <message>
        <source>执行 sudo systemctl enable --now morvane 打开它。</source>
        <translation>Turn it on with sudo systemctl enable --now morvane.</translation>
    </message>
    <message>
        <source>服务的日志里写着原因:journalctl -u morvane,或者 morvanectl service status。</source>
        <translation>The service&apos;s log says why: journalctl -u morvane, or morvanectl service status.</translation>
    </message>
    <message>
        <source>Morvane 的服务程序没有运行。</source>
        <translation>The Morvane service is not running.</translation>
    </message>
    <message>
        <source>重试</source>
        <translation>Retry</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
</context>
<context>
    <name>CMorvaneLogon</name>
    <message>
        <source>登录</source>
        <translation>Log in</translation>
    </message>
    <message>
        <source>账号:</source>
        <translation>Account:</translation>
    </message>
    <message>
        <source>注册新用户</source>
        <translation>Sign up</translation>
    </message>
    <message>
        <source>密码:</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>找回密码</source>
        <translation>Forgot password</translation>
    </message>
    <message>
        <source>记住密码</source>
        <translation>Remember password</translation>
    </message>
    <message>
        <source>自动登录</source>
        <translation>Log in automatically</translation>
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
    <name>CMorvaneMainDlg</name>
    <message>
        <source>Morvane 在系统托盘里继续运行。要退出,请在托盘图标的菜单里选择“退出”。</source>
        <translation>Morvane keeps running in the system tray. To quit, choose Quit in the tray icon&apos;s menu.</translation>
    </message>
</context>
<context>
    <name>CMorvaneMainLogOnDlg</name>
    <message>
        <source>账号:</source>
        <translation>Account:</translation>
    </message>
    <message>
        <source>密码:</source>
        <translation>Password:</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>登录</source>
        <translation>Log in</translation>
    </message>
    <message>
        <source>正在登录...</source>
        <translation>Logging in...</translation>
    </message>
    <message>
        <source>服务商...</source>
        <translation>Provider...</translation>
    </message>
</context>
<context>
    <name>CMorvaneMapportDlg</name>
    <message>
        <source>添加端口</source>
        <translation>Add port</translation>
    </message>
    <message>
        <source>端口使用帮助</source>
        <translation>Help with ports</translation>
    </message>
</context>
<context>
    <name>CMorvaneTray</name>
    <message>
        <source>显示 Morvane</source>
        <translation>Show Morvane</translation>
    </message>
    <message>
        <source>通知</source>
        <translation>Notifications</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>已登录: %1</source>
        <translation>Logged in as %1</translation>
    </message>
</context>
<context>
    <name>COutPutCtrl</name>
    <message>
        <source>清空输出</source>
        <translation>Clear output</translation>
    </message>
</context>
<context>
    <name>Morvane</name>
    <message>
        <source>用户名和密码不能为空</source>
        <translation>Enter both the account and the password</translation>
    </message>
    <message>
        <source>动态域名管理</source>
        <translation>Dynamic DNS</translation>
    </message>
    <message>
        <source>开始解析</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止解析</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>开始/停止</source>
        <translation>Start/Stop</translation>
    </message>
    <message>
        <source>域名</source>
        <translation>Domain</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>用户名和密码出错</source>
        <translation>Wrong account or password</translation>
    </message>
    <message>
        <source>中国电信</source>
        <translation>China Telecom</translation>
    </message>
    <message>
        <source>中国网通</source>
        <translation>China Netcom</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>动态</source>
        <translation>Dynamic</translation>
    </message>
    <message>
        <source>教育</source>
        <translation>Education network</translation>
    </message>
    <message>
        <source>外国</source>
        <translation>Abroad</translation>
    </message>
    <message>
        <source>运营商级NAT</source>
        <translation>Carrier-grade NAT</translation>
    </message>
    <message>
        <source>域名操作</source>
        <translation>Domain switch</translation>
    </message>
    <message>
        <source>更新域名列表</source>
        <translation>Domain list refresh</translation>
    </message>
    <message>
        <source>本地动态IP发生了变化</source>
        <translation>The public address has changed</translation>
    </message>
    <message>
        <source>成功</source>
        <translation> succeeded</translation>
    </message>
    <message>
        <source>失败</source>
        <translation> failed</translation>
    </message>
    <message>
        <source>请求</source>
        <translation>Requested: </translation>
    </message>
    <message>
        <source>请等待...</source>
        <translation>, please wait...</translation>
    </message>
    <message>
        <source>端口映射</source>
        <translation>Port mapping</translation>
    </message>
    <message>
        <source>服务端口</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>协议</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>启用</source>
        <translation>Keep mapped</translation>
    </message>
    <message>
        <source>高级选项</source>
        <translation>Advanced</translation>
    </message>
    <message>
        <source>删除端口映射</source>
        <translation>Remove port mapping</translation>
    </message>
    <message>
        <source>自定义端口</source>
        <translation>Custom port</translation>
    </message>
    <message>
        <source>映射状态</source>
        <translation>Mapping</translation>
    </message>
    <message>
        <source>没有映射</source>
        <translation> not mapped</translation>
    </message>
    <message>
        <source>正在映射</source>
        <translation> mapped</translation>
    </message>
    <message>
        <source>已经有此状态</source>
        <translation>Already in that state</translation>
    </message>
    <message>
        <source>重复数据</source>
        <translation>Already listed</translation>
    </message>
    <message>
        <source>开始映射</source>
        <translation>Map now</translation>
    </message>
    <message>
        <source>取消映射</source>
        <translation>Unmap now</translation>
    </message>
    <message>
        <source>取消启用</source>
        <translation>Stop keeping mapped</translation>
    </message>
    <message>
        <source>当前版本</source>
        <translation>Current version</translation>
    </message>
    <message>
        <source>服务程序没有响应</source>
        <translation>the service did not answer</translation>
    </message>
    <message>
        <source>服务程序正常</source>
        <translation>Service running</translation>
    </message>
    <message>
        <source>服务程序无响应</source>
        <translation>Service not answering</translation>
    </message>
    <message>
        <source>服务程序恢复响应</source>
        <translation>The service answers again</translation>
    </message>
    <message>
        <source>服务程序没有响应,请重试</source>
        <translation>The service did not answer; try again</translation>
    </message>
    <message>
        <source>无法连接域名服务商</source>
        <translation>Cannot reach the DNS provider</translation>
    </message>
    <message>
        <source>域名服务商的应答无法识别</source>
        <translation>The DNS provider&apos;s answer could not be read</translation>
    </message>
    <message>
        <source>端口只能是数字</source>
        <translation>A port is digits only</translation>
    </message>
    <message>
        <source>请输入端口号</source>
        <translation>Enter a port number</translation>
    </message>
    <message>
        <source>端口号无效(1-65535): </source>
        <translation>Not a port (1-65535): </translation>
    </message>
    <message>
        <source>找不到路由器</source>
        <translation>no router found</translation>
    </message>
    <message>
        <source>路由器拒绝,错误码%1</source>
        <translation>refused by the router, code %1</translation>
    </message>
    <message>
        <source>登录信息未能保存: %1</source>
        <translation>the login could not be remembered: %1</translation>
    </message>
    <message>
        <source>当前版本:%1</source>
        <translation>Current version: %1</translation>
    </message>
    <message>
        <source>请求域名操作请等待...</source>
        <comment>switching on</comment>
        <translation>Switching %1 on, please wait...</translation>
    </message>
    <message>
        <source>请求域名操作请等待...</source>
        <comment>switching off</comment>
        <translation>Switching %1 off, please wait...</translation>
    </message>
    <message>
        <source>域名操作成功</source>
        <comment>switched on</comment>
        <translation>%1 is switched on.</translation>
    </message>
    <message>
        <source>域名操作成功</source>
        <comment>switched off</comment>
        <translation>%1 is switched off.</translation>
    </message>
    <message>
        <source>域名操作失败</source>
        <comment>switching on failed</comment>
        <translation>Could not switch %1 on.</translation>
    </message>
    <message>
        <source>域名操作失败</source>
        <comment>switching off failed</comment>
        <translation>Could not switch %1 off.</translation>
    </message>
    <message>
        <source>域名操作失败(%2)</source>
        <comment>switching on failed</comment>
        <translation>Could not switch %1 on: %2.</translation>
    </message>
    <message>
        <source>域名操作失败(%2)</source>
        <comment>switching off failed</comment>
        <translation>Could not switch %1 off: %2.</translation>
    </message>
    <message>
        <source>请求更新域名列表</source>
        <translation>Refreshing the domain list...</translation>
    </message>
    <message>
        <source>更新域名列表成功</source>
        <translation>The domain list is refreshed.</translation>
    </message>
    <message>
        <source>更新域名列表失败</source>
        <translation>Could not refresh the domain list.</translation>
    </message>
    <message>
        <source>更新域名列表失败(%1)</source>
        <translation>Could not refresh the domain list: %1.</translation>
    </message>
    <message>
        <source>请求-%1(%2)-端口映射请等待...</source>
        <comment>mapping</comment>
        <translation>Mapping port %1/%2 on the router, please wait...</translation>
    </message>
    <message>
        <source>请求-%1(%2)-删除端口映射请等待...</source>
        <comment>removing</comment>
        <translation>Removing port %1/%2 and its mapping on the router, please wait...</translation>
    </message>
    <message>
        <source>请求-%1(%2)-删除端口映射请等待...</source>
        <comment>unmapping</comment>
        <translation>Unmapping port %1/%2 on the router, please wait...</translation>
    </message>
    <message>
        <source>请求-%1(%2)-请等待...</source>
        <translation>Asking about port %1/%2, please wait...</translation>
    </message>
    <message>
        <source>端口映射-%1-(%2)成功</source>
        <translation>Port %1/%2 is mapped on the router.</translation>
    </message>
    <message>
        <source>端口映射-%1-(%2)失败(%3)</source>
        <translation>Could not map port %1/%2: %3.</translation>
    </message>
    <message>
        <source>端口映射-%1-(%2)失败</source>
        <translation>Could not map port %1/%2.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)成功</source>
        <comment>removed</comment>
        <translation>Port %1/%2 is removed.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)失败(%3)</source>
        <comment>removed</comment>
        <translation>Could not remove the mapping of port %1/%2 from the router: %3.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)失败</source>
        <comment>removed</comment>
        <translation>Could not remove the mapping of port %1/%2 from the router.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)成功</source>
        <comment>unmapped</comment>
        <translation>Port %1/%2 is unmapped on the router; it stays in the list.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)失败(%3)</source>
        <comment>unmapped</comment>
        <translation>Could not unmap port %1/%2: %3.</translation>
    </message>
    <message>
        <source>删除端口映射-%1-(%2)失败</source>
        <comment>unmapped</comment>
        <translation>Could not unmap port %1/%2.</translation>
    </message>
    <message>
        <source>-%1-(%2)成功</source>
        <translation>Port %1/%2: done.</translation>
    </message>
    <message>
        <source>-%1-(%2)失败(%3)</source>
        <translation>Port %1/%2: failed (%3).</translation>
    </message>
    <message>
        <source>-%1-(%2)失败</source>
        <translation>Port %1/%2: failed.</translation>
    </message>
    <message>
        <source>重复数据</source>
        <comment>port already listed</comment>
        <translation>Port %1/%2 is already in the list.</translation>
    </message>
    <message>
        <source>端口号无效(1-65535): %1</source>
        <translation>Not a port number (1-65535): %1</translation>
    </message>
    <message>
        <source>本地动态IP发生了变化</source>
        <comment>new address</comment>
        <translation>The public address changed to %1.</translation>
    </message>
    <message>
        <source>服务程序已停止</source>
        <translation>The service stopped.</translation>
    </message>
    <message>
        <source>关于Morvane</source>
        <translation>About Morvane</translation>
    </message>
    <message>
        <source>服务程序启动意外,请重新登录</source>
        <translation>The service did not start; log in again</translation>
    </message>
    <message>
        <source>%1,更新于%2</source>
        <translation>%1, updated %2</translation>
    </message>
    <message>
        <source>更新失败: %1</source>
        <translation>Update failed: %1</translation>
    </message>
    <message>
        <source>等待更新</source>
        <translation>Waiting for the update</translation>
    </message>
    <message>
        <source>等待更新(服务商现为%1)</source>
        <translation>Waiting for the update (the provider has %1)</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>已停止(服务商现为%1)</source>
        <translation>Off (the provider has %1)</translation>
    </message>
    <message>
        <source>已开启,服务商持有当前地址</source>
        <translation>On; the provider has the current address</translation>
    </message>
    <message>
        <source>已开启,但更新失败</source>
        <translation>On, but the last update failed</translation>
    </message>
    <message>
        <source>已开启,等待更新</source>
        <translation>On; waiting for the update</translation>
    </message>
    <message>
        <source>IPv4地址: %1</source>
        <translation>IPv4 address: %1</translation>
    </message>
    <message>
        <source>IPv6地址: %1</source>
        <translation>IPv6 address: %1</translation>
    </message>
    <message>
        <source>上次更新: %1</source>
        <translation>Last updated: %1</translation>
    </message>
    <message>
        <source>上次尝试: %1</source>
        <translation>Last attempt: %1</translation>
    </message>
    <message>
        <source>原因: %1</source>
        <translation>Reason: %1</translation>
    </message>
    <message>
        <source>这台电脑的服务商设置的账户是%1,请用它登录</source>
        <translation>The provider on this computer is set up for the account %1; log in with it</translation>
    </message>
    <message>
        <source>域名%1的更新失败: %2。域名保持开启,服务程序会再次尝试。</source>
        <translation>The update of %1 failed: %2. It stays switched on and the service tries again.</translation>
    </message>
    <message>
        <source>Morvane 网络服务(默认)</source>
        <translation>Morvane web service (default)</translation>
    </message>
    <message>
        <source>dyndns2 账户</source>
        <translation>dyndns2 account</translation>
    </message>
    <message>
        <source>已登录: %1</source>
        <translation>Logged in as %1</translation>
    </message>
    <message>
        <source>没有登录;服务程序不更新任何域名</source>
        <translation>Not logged in; the service updates no names</translation>
    </message>
    <message>
        <source>服务程序读不了它的服务商设置,保存会替换它。</source>
        <translation>The service cannot read its provider settings; saving replaces them.</translation>
    </message>
    <message>
        <source>请输入这个账户的密码。</source>
        <translation>Enter this account&apos;s password.</translation>
    </message>
    <message>
        <source>设置没有送到服务程序。</source>
        <translation>The settings did not reach the service.</translation>
    </message>
    <message>
        <source>正在保存...</source>
        <translation>Saving...</translation>
    </message>
    <message>
        <source>请求没有送到服务程序。</source>
        <translation>The request did not reach the service.</translation>
    </message>
    <message>
        <source>正在测试...</source>
        <translation>Testing...</translation>
    </message>
    <message>
        <source>已保存。服务程序下次查询时使用新的设置。</source>
        <translation>Saved. The service uses the new settings from its next check.</translation>
    </message>
    <message>
        <source>没有保存: %1</source>
        <translation>Not saved: %1</translation>
    </message>
    <message>
        <source>测试通过: %1</source>
        <translation>Test passed: %1</translation>
    </message>
    <message>
        <source>测试失败: %1</source>
        <translation>Test failed: %1</translation>
    </message>
    <message>
        <source>账户</source>
        <translation>Account</translation>
    </message>
    <message>
        <source>登录另一个账户</source>
        <translation>Log in with another account</translation>
    </message>
    <message>
        <source>没能退出登录:服务程序保存不了 user.xml。</source>
        <translation>Could not log out: the service cannot save user.xml.</translation>
    </message>
    <message>
        <source>已退出登录,服务程序不再更新域名</source>
        <translation>Logged out; the service no longer updates any name</translation>
    </message>
    <message>
        <source>退出登录%1吗?服务程序会忘记这个账户,不再更新它的域名;服务商那里的地址保持不变。</source>
        <translation>Log out %1? The service forgets this account and stops updating its names; the addresses at the provider stay as they are.</translation>
    </message>
    <message>
        <source>退出登录</source>
        <translation>Log out</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>端口%1(%2)在路由器上的映射已丢失,服务程序没能再次映射它。</source>
        <translation>The router no longer maps port %1/%2, and the service could not map it again.</translation>
    </message>
    <message>
        <source>Cloudflare(API 令牌)</source>
        <translation>Cloudflare (API token)</translation>
    </message>
    <message>
        <source>DuckDNS(令牌)</source>
        <translation>DuckDNS (token)</translation>
    </message>
    <message>
        <source>DNS 动态更新(nsupdate,TSIG 密钥)</source>
        <translation>DNS dynamic update (nsupdate, TSIG key)</translation>
    </message>
    <message>
        <source>自定义网址(url)</source>
        <translation>Custom URL (url)</translation>
    </message>
</context>
</TS>
