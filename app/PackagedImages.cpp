// The embedded package as the list of firmware images the run tries on each
// adapter.

#include "app/KRUserFlashApp.h"

#include "image/IROMMeld.h"

void CKRUserFlashApp::LoadPackagedImages(std::vector<CRefPtr<IROMImage>>& images,
                                         CRefPtr<IBoardDatabase> boards, const uint8_t* package,
                                         uint32_t length, bool isPack,
                                         SelectionCriteria& selection)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    if (isPack)
    {
        meld->ReadFromBuffer(package, length, GetLog());
        selection = meld->GetSelection();
    }
    else
    {
        CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(package, length);
        selection.kind = 0;
        selection.fields = nullptr;
        CBoardType board;
        boards->GetBoardType(board, image->GetBoardID());
        if (board.IsKnown())
        {
            image->SetBoardName(board.name);
        }
        image->SetFileName(GetPackageFileName(GetPackageStore().control));
        meld->AddImage(image);
    }
    for (uint32_t i = 0; i < meld->GetImageCount(); ++i)
    {
        images.push_back(meld->GetImage(i));
    }
}
