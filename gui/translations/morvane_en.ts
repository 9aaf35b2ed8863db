<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
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
        <source>接入商:</source>
        <translation>Network:</translation>
    </message>
    <message>
        <source>域名管理帮助</source>
        <translation>Help with domains</translation>
    </message>
</context>
<context>
    <name>CMorvaneAbout</name>
    <message>
        <source>      我们可以为所有的网站提供单线路、多线路智能的域名解析服务，让电信用户访问电信的服务器，网通的用户访问网通的服务器，达到互联互通的效果。 </source>
        <translation>We provide single-line and smart multi-line name resolution for every web site: users of China Telecom reach the China Telecom servers and users of China Netcom reach the China Netcom servers, so that every network reaches every other.</translation>
    </message>
    <message>
        <source>关于Morvane</source>
        <translation>About Morvane</translation>
    </message>
    <message>
        <source>静态</source>
        <translation>Version unknown</translation>
    </message>
    <message>
        <source>检查更新</source>
        <translation>Check for updates</translation>
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
    <name>CMorvaneMainLogOnDlg</name>
    <message>
        <source>登陆</source>
        <translation>Log in</translation>
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
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>正在登陆...</source>
        <translation>Logging in...</translation>
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
        <source>关于MORVANE</source>
        <translation>About MORVANE</translation>
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
        <source>服务程序启动意外,请重新登陆</source>
        <translation>The service could not be started; please log in again</translation>
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
</context>
</TS>
