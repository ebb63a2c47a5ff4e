#!/usr/bin/env python3
"""Builds the server's installer package.

Everything the package registers is read from where the server keeps it: the
identity header, the category table of the entry point, the generated GUIDs
and proxies of opcproxy.dll, the service description in the message texts.
The WiX source is filled in from those, built with wixl, and then given what
wixl cannot express: component conditions and attributes (set with msibuild).
"""
import argparse
import os
import re
import subprocess
import sys
import uuid

# Component GUIDs come from their ids, so they stay the same across versions.
COMPONENT_NAMESPACE = uuid.UUID("9F2C6B1E-3A57-4D08-B4E1-7C5A2D90E3F4")

# Windows Installer component attributes.
ATTR_PERMANENT = 0x10
ATTR_TRANSITIVE = 0x40
ATTR_NEVER_OVERWRITE = 0x80
# Upgrade table attributes.
UPGRADE_MIGRATE_FEATURES = 0x1
UPGRADE_VERSION_MAX_INCLUSIVE = 0x200

# ProgID\OPC marks a Data Access 1.0 or 2.0 server for the older browsers.
OPC_KEY_CATEGORIES = ("CATID_OPCDAServer10", "CATID_OPCDAServer20")


def fail(message):
    sys.exit("make_package: " + message)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def guid_text(numbers):
    """Registry form of a GUID given as its eleven numbers."""
    if len(numbers) != 11:
        fail("a GUID needs 11 numbers, got %d" % len(numbers))
    n = numbers
    return "{%08X-%04X-%04X-%02X%02X-%s}" % (n[0], n[1], n[2], n[3], n[4], "".join("%02X" % b for b in n[5:]))


def read_identity(path):
    names = dict(re.findall(r'\bk(\w+)\[\]\s*=\s*L"([^"]*)"', read(path)))
    wanted = ("Vendor", "ServiceName", "DisplayName", "ProgId", "VersionIndependentProgId", "AppIdText",
              "ServerClsidText")
    missing = [w for w in wanted if w not in names]
    if missing:
        fail("%s lacks %s" % (path, ", ".join(missing)))
    return names


def read_guids(paths):
    """IID_/CATID names to registry text, from widl's *_i.c files."""
    guids = {}
    pattern = re.compile(r"^MIDL_DEFINE_GUID\(\w+,\s*(\w+),\s*(0x[^)]*)\)", re.M)
    for path in paths:
        for name, body in pattern.findall(read(path)):
            guids[name] = guid_text([int(x, 0) for x in body.split(",")])
    return guids


def read_interfaces(paths, guids):
    """(name, IID, method count) of every interface opcproxy.dll marshals."""
    found = []
    for path in paths:
        for count, name in re.findall(r"CINTERFACE_PROXY_VTABLE\((\d+)\)\s+_(\w+)ProxyVtbl", read(path)):
            iid = guids.get("IID_" + name)
            if iid is None:
                fail("no IID for " + name)
            found.append((name, iid, int(count)))
    if not found:
        fail("no proxies found")
    return sorted(found)


def read_categories(path, guids):
    rows = re.findall(r"\{&opc_host::kServerClsid,\s*&(CATID_\w+),\s*L\"([^\"]*)\"\}", read(path))
    if not rows:
        fail("no category rows in " + path)
    return [(name, guids["IID_" + name], text[:127]) for name, text in rows]


def read_proxy_clsid(path):
    body = read(path).split("PROXY_CLSID_IS", 1)
    if len(body) != 2:
        fail("no PROXY_CLSID_IS in " + path)
    return guid_text([int(x, 16) for x in re.findall(r"0x([0-9a-fA-F]+)", body[1])[:11]])


def read_message(path, symbol):
    match = re.search(r"SymbolicName=%s\s*\nLanguage=English\s*\n(.*?)\n\.\s*\n" % symbol, read(path), re.S)
    if not match:
        fail("no English text for %s in %s" % (symbol, path))
    return " ".join(match.group(1).split())


def xml(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def proxy_parts(interfaces, proxy_clsid):
    """Per interface: a search for who marshals it now, a component, and the
    condition under which the component is ours to write and to remove."""
    searches, components, refs, conditions = [], [], [], []
    for name, iid, count in interfaces:
        prop = "PS_" + name.upper()
        comp = "Proxy_" + name
        key = "Interface\\" + iid
        searches.append(
            '    <Property Id="%s">\n'
            '      <RegistrySearch Id="%s" Root="HKCR" Key="%s\\ProxyStubClsid32" Name="" Type="raw" Win64="yes"/>\n'
            "    </Property>" % (prop, prop, key))
        components.append(
            '            <Component Id="%s" Guid="@AUTO@" Win64="yes">\n'
            '              <RegistryValue Root="HKCR" Key="%s" Type="string" Value="%s"/>\n'
            '              <RegistryValue Root="HKCR" Key="%s\\ProxyStubClsid32" Type="string" Value="%s" KeyPath="yes"/>\n'
            '              <RegistryValue Root="HKCR" Key="%s\\NumMethods" Type="string" Value="%d"/>\n'
            "            </Component>" % (comp, key, name, key, proxy_clsid, key, count))
        refs.append('      <ComponentRef Id="%s"/>' % comp)
        conditions.append((comp, 'NOT %s OR %s ~= "%s"' % (prop, prop, proxy_clsid)))
    return searches, components, refs, conditions


def fill(template, values):
    def one(match):
        key = match.group(1)
        if key not in values:
            fail("template names @%s@, which nothing supplies" % key)
        return values[key]
    text = re.sub(r"@([A-Z_]+)@", lambda m: m.group(0) if m.group(1) == "AUTO" else one(m), template)

    def component_guid(match):
        return '<Component Id="%s" Guid="{%s}"' % (match.group(1), str(uuid.uuid5(COMPONENT_NAMESPACE, match.group(1))).upper())
    text = re.sub(r'<Component Id="(\w+)" Guid="@AUTO@"', component_guid, text)
    if "@AUTO@" in text:
        fail("a @AUTO@ GUID is left outside a component")
    return text


def component_attributes(tool, msi):
    result = subprocess.run([tool, "export", msi, "Component"], capture_output=True, text=True)
    if result.returncode != 0:
        fail("msiinfo failed: " + result.stderr.strip())
    rows = [line.split("\t") for line in result.stdout.splitlines()[3:]]
    return {row[0]: int(row[3]) for row in rows if len(row) >= 4}


def msibuild(tool, msi, query):
    result = subprocess.run([tool, msi, "-q", query], capture_output=True, text=True)
    if result.returncode != 0:
        fail("msibuild failed on %r: %s" % (query, result.stderr.strip()))


def parse_arguments():
    p = argparse.ArgumentParser()
    p.add_argument("--template", required=True)
    p.add_argument("--out", required=True, help="the .msi to write")
    p.add_argument("--version", required=True)
    p.add_argument("--bin", required=True)
    p.add_argument("--examples", required=True)
    p.add_argument("--identity", required=True)
    p.add_argument("--entry", required=True, help="the source holding the category table")
    p.add_argument("--prelude", required=True, help="the header naming the proxy's class id")
    p.add_argument("--messages", required=True)
    p.add_argument("--guids", nargs="+", required=True)
    p.add_argument("--proxies", nargs="+", required=True)
    p.add_argument("--wixl", default="wixl")
    p.add_argument("--msibuild", default="msibuild")
    p.add_argument("--msiinfo", default="msiinfo")
    a = p.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+", a.version):
        fail("version %r is not major.minor.patch" % a.version)
    return a


def category_parts(categories, identity):
    """The ProgID's OPC key and the category descriptions as WiX rows, and the
    class's category keys, which hold no value and so are added to the
    Registry table after wixl ("*": created, and removed again)."""
    clsid = identity["ServerClsidText"]
    keys = ["CLSID\\%s\\Implemented Categories\\%s" % (clsid, catid) for _, catid, _ in categories]
    opc_key = []
    if any(name in OPC_KEY_CATEGORIES for name, _, _ in categories):
        opc_key.append('              <RegistryValue Root="HKCR" Key="%s\\OPC" Type="string" Value=""/>'
                       % identity["ProgId"])
    descriptions = ['              <RegistryValue Root="HKCR" Key="Component Categories\\%s" Name="400" '
                    'Type="string" Value="%s"/>' % (catid, xml(text)) for _, catid, text in categories]
    descriptions[0] = descriptions[0].replace('Type="string"', 'Type="string" KeyPath="yes"', 1)
    return opc_key, descriptions, keys


def write_wxs(a, wxs, identity, proxy_clsid, proxy, opc_key, descriptions):
    # wixl takes file sources relative to the folder of the WiX source only.
    here = os.path.dirname(os.path.abspath(wxs))
    searches, components, refs, _ = proxy
    values = {
        "VERSION": a.version,
        "VENDOR": xml(identity["Vendor"]),
        "SERVICE_NAME": xml(identity["ServiceName"]),
        "DISPLAY_NAME": xml(identity["DisplayName"]),
        "PROGID": xml(identity["ProgId"]),
        "VI_PROGID": xml(identity["VersionIndependentProgId"]),
        "APPID": identity["AppIdText"],
        "CLSID": identity["ServerClsidText"],
        "PROXY_CLSID": proxy_clsid,
        "SERVICE_DESCRIPTION": xml(read_message(a.messages, "KELMSG_SERVICE_DESCRIPTION")),
        "BIN": os.path.relpath(a.bin, here),
        "EXAMPLES": os.path.relpath(a.examples, here),
        "PROXY_SEARCHES": "\n".join(searches),
        "PROXY_COMPONENTS": "\n".join(components),
        "PROXY_REFS": "\n".join(refs),
        "CLASS_CATEGORIES": "\n".join(opc_key),
        "CATEGORY_DESCRIPTIONS": "\n".join(descriptions),
    }
    with open(wxs, "w", encoding="utf-8") as f:
        f.write(fill(read(a.template), values))


def finish_tables(a, msi, interfaces, conditions, category_keys):
    """What wixl cannot express. The program installs in one of two forms; the
    interface keys only where nobody else's proxy is registered, and they go
    again only while still ours (transitive, so the condition is asked again
    at every maintenance run); the plant's files stay."""
    conditions = conditions + [("Program", "NOT SERVICE"), ("ProgramAsService", "SERVICE")]
    for component, condition in conditions:
        msibuild(a.msibuild, msi, "UPDATE `Component` SET `Condition` = '%s' WHERE `Component` = '%s'"
                 % (condition.replace("'", "''"), component))
    for index, key in enumerate(category_keys):
        msibuild(a.msibuild, msi, "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) "
                 "VALUES ('ImplementedCategory%d', 0, '%s', '*', 'ClassRegistration')" % (index, key))
    attributes = [("Proxy_" + name, ATTR_TRANSITIVE) for name, _, _ in interfaces]
    attributes += [("Categories", ATTR_PERMANENT)]
    attributes += [(c, ATTR_PERMANENT | ATTR_NEVER_OVERWRITE)
                   for c in ("ActiveConfiguration", "ActiveTags", "ActiveSimulation")]
    # A rebuilt package of the same version replaces the installed one instead
    # of installing beside it (wixl has no AllowSameVersionUpgrades).
    # The attributes are part of the row's key, so the row is replaced.
    upgrade_code = re.search(r'UpgradeCode="(\{[0-9A-F-]+\})"', read(a.template)).group(1)
    msibuild(a.msibuild, msi, "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
    msibuild(a.msibuild, msi, "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) "
             "VALUES ('%s', '%s', %d, 'WIX_UPGRADE_DETECTED')"
             % (upgrade_code, a.version, UPGRADE_MIGRATE_FEATURES | UPGRADE_VERSION_MAX_INCLUSIVE))
    current = component_attributes(a.msiinfo, msi)
    for component, bits in attributes:
        msibuild(a.msibuild, msi, "UPDATE `Component` SET `Attributes` = %d WHERE `Component` = '%s'"
                 % (current[component] | bits, component))


def main():
    a = parse_arguments()
    identity = read_identity(a.identity)
    guids = read_guids(a.guids)
    interfaces = read_interfaces(a.proxies, guids)
    proxy_clsid = read_proxy_clsid(a.prelude)
    proxy = proxy_parts(interfaces, proxy_clsid)
    opc_key, descriptions, category_keys = category_parts(read_categories(a.entry, guids), identity)

    wxs = os.path.splitext(a.out)[0] + ".wxs"
    write_wxs(a, wxs, identity, proxy_clsid, proxy, opc_key, descriptions)
    # Built under another name first: a package that failed half-way must not
    # look finished to the next build.
    partial = a.out + ".partial"
    if os.path.exists(partial):
        os.remove(partial)
    # wixl warns that it does not know Package/@Platform; -a sets the architecture.
    result = subprocess.run([a.wixl, "-a", "x64", "-o", os.path.abspath(partial), os.path.basename(wxs)],
                            cwd=os.path.dirname(os.path.abspath(wxs)), capture_output=True, text=True)
    if result.returncode != 0 or not os.path.exists(partial):
        fail("wixl failed:\n" + result.stdout + result.stderr)
    finish_tables(a, partial, interfaces, proxy[3], category_keys)
    os.replace(partial, a.out)


if __name__ == "__main__":
    main()
