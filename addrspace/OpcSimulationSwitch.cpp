#include "OpcSimulationSwitch.h"

#include "OpcProgramPath.h"
#include "OpcXml.h"

bool ReadSimulationSwitch(const COpcString& directory)
{
    // Without a directory the name alone would be looked up elsewhere.
    if (directory.IsEmpty())
        return false;
    COpcXmlDocument document;
    if (FAILED(document.Load(directory + COpcString(L"\\OpcConfiguration.xml"))))
        return false;
    COpcXmlAttribute enabled =
        document.DocumentElement().Child(COpcString(L"Simulation")).Attribute(COpcString(L"Enabled"));
    if (enabled.IsNull())
        return false;
    bool value = false;
    return ParseBoolean(enabled.Text().TextOrEmpty(), value) && value;
}

bool ReadSimulationSwitch()
{
    return ReadSimulationSwitch(ProgramDirectory());
}
