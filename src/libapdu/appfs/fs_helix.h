#pragma once

#include <optional>

#include "libapdu/libapdu.h"

namespace libapdu {

class CAppletHelix;

// What a select answer (a 62 template) says of the file: kind, size and access bytes as the
// file system keeps them, the identifier (83) when given, the security attributes (86).
struct FcpInfo {
    FileDescriptor descriptor;
    std::optional<uint16_t> id;
    ByteVector attributes;
};

// Throws CAPDUException 6281 for an answer that is no well-formed template.
FcpInfo ParseFcp(ByteSpan answer);

// Shared base of the file-system facets: ReadFile and WriteFile in pieces of MaxChunk bytes.
class CFSCommon : public IAppFS, public IAPDUDefinitions {
public:
    void ReadFile(ByteVector& buffer, uint32_t offset) override;
    void WriteFile(const ByteVector& data, uint32_t offset) override;

protected:
    virtual void ReadChunk(ByteVector& chunk, uint32_t offset) = 0;
    virtual void WriteChunk(const ByteVector& chunk, uint32_t offset) = 0;
    virtual uint16_t MaxChunk() = 0;
    virtual void DeleteSelected() = 0;
};

// The Helix file system: ISO-style paths, plus a named-directory area below a base directory
// where directories are found by a 16-byte name image instead of their on-card identifier.
class CFSHelix final : public CFSCommon {
public:
    explicit CFSHelix(CAppletHelix& applet);

    void SelectPath(CardPath path) override;
    void CreateFile(uint16_t id, FileDescriptor descriptor, const ByteVector& content) override;
    void DeleteFile() override;
    FileDescriptor GetFileInfo() override { return m_selected; }
    std::vector<uint16_t> ListFiles(uint8_t kind) override;
    void SelectByName(CardPath relative) override;
    void SelectFid(uint16_t id) override;
    void ResizeFile(uint16_t size) override;

    // Selects by path without touching the requested and physical paths: the descriptor,
    // attributes and FCP describe the file afterwards, and its attributes are refreshed.
    // Returns the answer data (the 62 template).
    ByteVector SelectByPath(const CardPath& path);

    // The user authentication object that security attributes must name; 0 leaves them alone.
    void SetAttributeSubstitute(uint8_t substitute) { m_attributeSubstitute = substitute; }
    uint8_t AttributeSubstitute() const { return m_attributeSubstitute; }

    // Tag 86 of the file selected last, as refreshed.
    const ByteVector& SecurityAttributes() const { return m_securityAttributes; }
    // Answer data of the last select (the 62 template), as the card sent it.
    const ByteVector& LastFcp() const { return m_lastFcp; }
    const CardPath& RequestedPath() const { return m_requestedPath; }
    const CardPath& PhysicalPath() const { return m_physicalPath; }
    const CardPath& BaseDirectory() const { return m_baseDirectory; }

private:
    void ReadChunk(ByteVector& chunk, uint32_t offset) override;
    void WriteChunk(const ByteVector& chunk, uint32_t offset) override;
    uint16_t MaxChunk() override { return 0xFF; }
    void DeleteSelected() override;

    ByteVector SendSelectByPath(const CardPath& path);
    // Takes kind, size, access bytes and attributes from a select answer.
    void Absorb(const ByteVector& fcp);
    void RefreshAttributes();
    ByteVector SendSelectByName(const CardPath& relative);
    ByteVector SendSelectByNameImage(ByteSpan image);
    // Takes the select answer of a named directory; returns its on-card identifier.
    uint16_t AbsorbNamed(const ByteVector& fcp);
    std::optional<uint16_t> TrySelectNamed(const CardPath& relative);
    void SelectBelowBase();
    void RecreateBaseDirectory();

    void CreateNamedDirectory(uint16_t id, const FileDescriptor& descriptor);
    uint8_t FreeDirectoryNumber();
    void CreateObject(uint16_t id, const FileDescriptor& descriptor);
    void DeleteNamedTree();

    std::vector<uint16_t> ListIdentifiers(uint8_t p1);
    std::vector<uint16_t> ListNamedChildren();
    ByteVector List(uint8_t p1);

    bool InNamedArea(const CardPath& path) const;
    CardPath Relative(const CardPath& path) const;
    uint8_t UserPinId() const;

    CAppletHelix& m_applet;
    CardPath m_requestedPath;
    CardPath m_physicalPath;
    CardPath m_baseDirectory{kMasterFile, 0x3000, 0x3002, 0x5000};
    FileDescriptor m_selected;
    CardPath m_nameScratch;
    ByteVector m_securityAttributes;
    uint8_t m_attributeSubstitute = 0;
    ByteVector m_lastFcp;
};

}  // namespace libapdu
